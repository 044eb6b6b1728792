#include "RecordFileIndexNodeInfo.h"

#include <cstddef>
#include <utility>

void RecordFileIndexNodeInfo::reset(long long fileBeginTime, int width, int height, int encodeType,
                                    std::vector<RecordIndexNode> nodes) {
    m_fileBeginTime = fileBeginTime;
    m_width = width;
    m_height = height;
    m_encodeType = encodeType;
    m_nodes = std::move(nodes);
    m_cursor = -1;
}

void RecordFileIndexNodeInfo::assign(long long fileBeginTime, int width, int height, int encodeType,
                                     const std::vector<RecordIndexNode>& nodes) {
    m_fileBeginTime = fileBeginTime;
    m_width = width;
    m_height = height;
    m_encodeType = encodeType;
    m_nodes.assign(nodes.begin(), nodes.end());
    m_cursor = -1;
}

void RecordFileIndexNodeInfo::clear() {
    m_fileBeginTime = 0;
    m_width = 0;
    m_height = 0;
    m_encodeType = 0;
    m_nodes.clear();
    m_cursor = -1;
}

int RecordFileIndexNodeInfo::seekNext() {
    long count = static_cast<long>(m_nodes.size());
    if (m_cursor < count) ++m_cursor;
    return m_cursor < count ? 1 : 0;
}

void RecordFileIndexNodeInfo::getCurrentNodeInfo(RecordIndexNode& node) const {
    if (m_cursor >= 0 && m_cursor < static_cast<long>(m_nodes.size())) node = m_nodes[m_cursor];
}

int RecordFileIndexNodeInfo::seekIndexNode(int offset) {
    for (size_t i = 0; i < m_nodes.size(); ++i) {
        if (m_nodes[i].getTimeOffset() >= offset) {
            m_cursor = static_cast<long>(i) - 1;
            return static_cast<int>(i);
        }
    }
    m_cursor = static_cast<long>(m_nodes.size());
    return -1;
}
