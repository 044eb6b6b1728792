#ifndef RECORDDEMO_DATA_EMBEDDEDCLIPS_H
#define RECORDDEMO_DATA_EMBEDDEDCLIPS_H

#include <cstddef>

// The clips of this folder, compiled into the demo library (the build turns
// each file into a byte array, see CMakeLists.txt), so that the synthetic
// camera does not depend on the source tree at run time.
struct EmbeddedClip {
    const char* name;  // file name, e.g. "clip_640x360_h264.es"
    const unsigned char* data;
    std::size_t size;
};

// The clip of that file name, or nullptr.
const EmbeddedClip* findEmbeddedClip(const char* name);

#endif  // RECORDDEMO_DATA_EMBEDDEDCLIPS_H
