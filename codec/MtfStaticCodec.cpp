#include "codec/MtfStaticCodec.h"
#include "app/Exception.h"
void compressMtfStatic(std::ostream&, uint8_t*, uint32_t) { throw Exception("MTF codec not built yet"); }
void decompressMtfStatic(std::istream&, uint8_t*, uint32_t) { throw Exception("MTF codec not built yet"); }
