// How the fuzz harnesses read their input bytes, shared by the harnesses and
// by the seed generator that writes inputs in the same layout.
//
//   fuzz_extract         byte 0: bit 0 = extract with -p; then the packed file.
//   fuzz_block_decoders  byte 0: bits 0-1 pick the decoder (0 DC, 1 MTF with
//                        the adaptive coder, 2 MTF with the static coder, 3 DC
//                        again), bit 2 = rle0, bit 3 = -p; bytes 1-2: the block
//                        length L - 1, little-endian (L in 1..65536); then
//                        the payload.
//   fuzz_roundtrip       byte 0 picks the small block size; then the data.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "codec/BlockPlan.h"

namespace fuzzinput {

// Every pipeline and coder the compressor offers, with the -p variant of DC.
enum class Method : uint8_t {
    Dc,
    DcPrefixCode,
    MtfAdaptiveRle0,
    MtfAdaptivePlain,
    MtfStaticRle0,
    MtfStaticPlain,
};

inline constexpr std::array<Method, 6> kAllMethods = {
    Method::Dc,
    Method::DcPrefixCode,
    Method::MtfAdaptiveRle0,
    Method::MtfAdaptivePlain,
    Method::MtfStaticRle0,
    Method::MtfStaticPlain,
};

inline const char* methodName(Method m) {
    switch (m) {
        case Method::Dc:
            return "dc";
        case Method::DcPrefixCode:
            return "dc-p";
        case Method::MtfAdaptiveRle0:
            return "mtf-a-rle0";
        case Method::MtfAdaptivePlain:
            return "mtf-a-plain";
        case Method::MtfStaticRle0:
            return "mtf-s-rle0";
        case Method::MtfStaticPlain:
            return "mtf-s-plain";
    }
    return "?";
}

// The plan the option parser gives a compression with method m
// (-c [-p | -m [--norle0] [-s]] -b blockSize) on `threads` processors.
inline BlockPlan useForCompression(Method m, uint32_t blockSize, unsigned threads = 1) {
    BlockPlan plan;
    plan.blockSize = blockSize;
    plan.threads = threads;
    switch (m) {
        case Method::Dc:
        case Method::DcPrefixCode:
            plan.method = CodingMethod::Dc;
            plan.prefixCode = m == Method::DcPrefixCode;
            break;
        case Method::MtfAdaptiveRle0:
        case Method::MtfAdaptivePlain:
            plan.method = CodingMethod::Mtf;
            plan.rle0 = m == Method::MtfAdaptiveRle0;
            break;
        case Method::MtfStaticRle0:
        case Method::MtfStaticPlain:
            plan.method = CodingMethod::Mtf;
            plan.staticCoder = true;
            plan.rle0 = m == Method::MtfStaticRle0;
            break;
    }
    return plan;
}

// The plan for extracting a file that method m wrote (-e, plus -p for DC -p).
inline BlockPlan useForExtraction(bool prefixCode, unsigned threads = 1) {
    BlockPlan plan;
    plan.prefixCode = prefixCode;
    plan.threads = threads;
    return plan;
}

// The same plan on another number of processors, or with -v.
inline BlockPlan withThreads(BlockPlan plan, unsigned threads) {
    plan.threads = threads;
    return plan;
}
inline BlockPlan verbosely(BlockPlan plan) {
    plan.verbose = true;
    return plan;
}

// The decoder selector byte of fuzz_block_decoders.
enum class Decoder : uint8_t { Dc = 0, MtfAdaptive = 1, MtfStatic = 2 };

inline uint8_t decoderSelector(Decoder d, bool rle0, bool prefixCode) {
    return static_cast<uint8_t>(static_cast<uint8_t>(d) | (rle0 ? 4 : 0) | (prefixCode ? 8 : 0));
}

inline Decoder selectedDecoder(uint8_t selector) {
    const uint8_t d = selector & 3;
    return d == 3 ? Decoder::Dc : static_cast<Decoder>(d);
}

// Block sizes the round trip uses for input byte 0 and n data bytes: the
// small one keeps the block count at 64 or fewer, so that an input of a few
// KiB never turns into thousands of one-byte blocks.
inline uint32_t smallBlockSize(uint8_t selector, size_t n) {
    const uint32_t wanted = 1u + (selector & 0x3Fu) * (1u + (selector >> 6));
    const uint32_t floor = static_cast<uint32_t>((n + 63) / 64);
    return wanted < floor ? floor : wanted;
}

// Ends the run as a finding: libFuzzer and the replay driver both take an
// abort as a failure and keep the input.
[[noreturn]] inline void fail(const std::string& what) {
    std::cerr << "FUZZ FINDING: " << what << std::endl;
    std::abort();
}

}  // namespace fuzzinput
