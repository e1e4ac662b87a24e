// Placeholder drivers until the block pipelines are in place.
#include "app/Drivers.h"

#include "app/Exception.h"

uint32_t compressFile(const std::string&, const std::string&) {
    throw Exception("Compression is not available in this build");
}

void decompressFile(const std::string&, const std::string&) {
    throw Exception("Extraction is not available in this build");
}
