#ifndef RECORDLIB_RECORDFILEINDEXNODEINFO_H
#define RECORDLIB_RECORDFILEINDEXNODEINFO_H

#include <vector>

#include "RecordIndexNode.h"
#include "RecordLibExport.h"

// The index of one record file with a cursor. A fresh walk stands before the
// first node: the first seekNext() makes the first node current.
class RECORDLIB_EXPORT RecordFileIndexNodeInfo {
  public:
    RecordFileIndexNodeInfo() = default;

    // Replaces the walk with the given file description and nodes, cursor
    // before the first node.
    void reset(long long fileBeginTime, int width, int height, int encodeType,
               std::vector<RecordIndexNode> nodes);
    // The same, copying the nodes into the walk's own (whose capacity is
    // reused).
    void assign(long long fileBeginTime, int width, int height, int encodeType,
                const std::vector<RecordIndexNode>& nodes);
    // Empties the walk (no node); keeps the capacity for the next file.
    void clear();

    // Moves to the next node. Non-zero when a node is current, 0 at the end.
    int seekNext();
    // Copies the current node. REQUIRES: the last seekNext() answered non-zero.
    void getCurrentNodeInfo(RecordIndexNode& node) const;
    // Moves the cursor so that the next seekNext() makes current the first
    // node whose time offset is at or after `offset` (ms). Answers the index of
    // that node, or -1 when no node is that late (the walk is then exhausted).
    int seekIndexNode(int offset);

    long long getFileBeginTime() const { return m_fileBeginTime; }
    int getImageWidth() const { return m_width; }
    int getImageHeight() const { return m_height; }
    int getEncodeType() const { return m_encodeType; }
    int getNodeCount() const { return static_cast<int>(m_nodes.size()); }

  private:
    long long m_fileBeginTime = 0;
    int m_width = 0;
    int m_height = 0;
    int m_encodeType = 0;
    std::vector<RecordIndexNode> m_nodes;
    long m_cursor = -1;  // index of the current node; -1 before the first
};

#endif  // RECORDLIB_RECORDFILEINDEXNODEINFO_H
