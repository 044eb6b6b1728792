#ifndef RECORDLIB_IFILE_H
#define RECORDLIB_IFILE_H

#include "RecordLibExport.h"

// A record file's data stream, read strictly in sequence.
class RECORDLIB_EXPORT IFile {
public:
    virtual ~IFile() {}
    // Closes the stream. 0 on success, a negative code otherwise. A second
    // close of a closed stream is harmless and answers 0.
    virtual int close() = 0;
    // Reads up to `count` bytes into `buffer`. Answers the bytes read, 0 at the
    // end of the data, a negative code on failure or when closed.
    virtual int read(char* buffer, int count) = 0;
};

#endif  // RECORDLIB_IFILE_H
