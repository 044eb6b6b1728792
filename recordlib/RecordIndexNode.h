#ifndef RECORDLIB_RECORDINDEXNODE_H
#define RECORDLIB_RECORDINDEXNODE_H

// One index node of a record file: one frame as the backup reads it (a run
// of TS packets, see recordlib/README.md for how many video frames it holds).
// Time offset: milliseconds from the file's begin time (may be negative).
// Time length: milliseconds of stream the node covers.
class RecordIndexNode {
  public:
    RecordIndexNode() = default;
    RecordIndexNode(int dataLen, int timeLen, int timeOffset, bool iFrame)
        : m_dataLen(dataLen), m_timeLen(timeLen), m_timeOffset(timeOffset), m_iFrame(iFrame) {}

    int getDataLen() const { return m_dataLen; }
    void setDataLen(int n) { m_dataLen = n; }
    int getTimeLen() const { return m_timeLen; }
    void setTimeLen(int ms) { m_timeLen = ms; }
    int getTimeOffset() const { return m_timeOffset; }
    void setTimeOffset(int ms) { m_timeOffset = ms; }
    bool isIFrame() const { return m_iFrame; }
    void setIFrame(bool i) { m_iFrame = i; }

  private:
    int m_dataLen = 0;
    int m_timeLen = 0;
    int m_timeOffset = 0;
    bool m_iFrame = false;
};

#endif  // RECORDLIB_RECORDINDEXNODE_H
