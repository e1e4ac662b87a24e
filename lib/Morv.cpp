// The C library over the block pipeline: parameters are checked and turned
// into a block plan, buffers are wrapped in stream buffers, and every C++
// exception is caught here and turned into a result code and the calling
// thread's message.
#include "include/morv/morv.h"

#include <algorithm>
#include <exception>
#include <istream>
#include <new>
#include <ostream>
#include <streambuf>
#include <string>

#include "base/CpuFeatures.h"
#include "base/Exception.h"
#include "base/Platform.h"
#include "codec/Pipeline.h"

namespace {

thread_local std::string lastError;

int fail(int code, const std::string& message) {
    lastError = message;
    return code;
}

// Runs the body of an interface function: what it throws becomes a result
// code and the thread's message, so no exception leaves the library.
template <typename Body>
int guarded(Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return fail(MORV_ERROR_MEMORY, "Out of memory");
    } catch (const std::exception& e) {
        return fail(MORV_ERROR_INTERNAL, e.what());
    } catch (...) {
        return fail(MORV_ERROR_INTERNAL, "Unknown error");
    }
}

// Reads a caller's buffer; it can say where it is and how long it is, so
// payload sizes are checked before anything is read for them.
class MemoryReader : public std::streambuf {
public:
    MemoryReader(const void* data, size_t size) {
        char* begin = const_cast<char*>(static_cast<const char*>(data));
        setg(begin, begin, begin + size);
    }

protected:
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override {
        if (!(which & std::ios_base::in)) return pos_type(off_type(-1));
        const off_type base = dir == std::ios_base::beg   ? 0
                              : dir == std::ios_base::cur ? gptr() - eback()
                                                          : egptr() - eback();
        return seekpos(pos_type(base + off), which);
    }
    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override {
        const off_type p = off_type(pos);
        if (!(which & std::ios_base::in) || p < 0 || p > egptr() - eback())
            return pos_type(off_type(-1));
        setg(eback(), eback() + p, egptr());
        return pos;
    }
};

// Writes into a caller's buffer of fixed capacity; a write past its end
// fails the stream and is remembered.
class MemoryWriter : public std::streambuf {
public:
    MemoryWriter(void* data, size_t capacity) {
        char* begin = static_cast<char*>(data);
        setp(begin, begin + capacity);
    }
    size_t written() const { return static_cast<size_t>(pptr() - pbase()); }
    bool overflowed() const { return overflowed_; }

protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) overflowed_ = true;
        return traits_type::eof();
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        const std::streamsize room = epptr() - pptr();
        const std::streamsize put = std::min(room, n);
        std::copy(s, s + put, pptr());
        pbump(static_cast<int>(put));
        if (put < n) overflowed_ = true;
        return put;
    }

private:
    bool overflowed_ = false;
};

// Discards what the pipeline would print: the library prints nothing.
class NullBuffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

constexpr uint64_t kMaxInput = 4294967295u;
constexpr uint32_t kBoundMinBlock = 4096;

unsigned threadsFor(unsigned threads) { return threads == 0 ? availableProcessors() : threads; }

// Checks the parameters and makes the plan; false (with the message set)
// for a combination the library refuses.
bool planOf(const morv_params* params, BlockPlan& plan) {
    morv_params defaults;
    morv_params_init(&defaults);
    const morv_params& p = params != nullptr ? *params : defaults;
    if (p.method != MORV_DC && p.method != MORV_MTF) {
        lastError = "Unknown method (MORV_DC or MORV_MTF)";
        return false;
    }
    if (p.method == MORV_DC && p.static_coder) {
        lastError = "The static arithmetic coder cannot be used with distance coding (MORV_DC)";
        return false;
    }
    if (p.method == MORV_MTF && p.prefix_code) {
        lastError = "The prefix code belongs to distance coding (MORV_DC), not to MORV_MTF";
        return false;
    }
    plan.method = p.method == MORV_DC ? CodingMethod::Dc : CodingMethod::Mtf;
    plan.staticCoder = p.static_coder != 0;
    plan.rle0 = p.method == MORV_DC ? true : p.rle0 != 0;
    plan.prefixCode = p.prefix_code != 0;
    plan.verbose = false;
    plan.blockSize = p.block_size;
    plan.threads = threadsFor(p.threads);
    return true;
}

// The largest payload of a block of L bytes: the first suffix index, the
// codec's fields (the static coder's table takes up to about 520 bytes), and
// at most 3 bytes per block byte. The prefix code spends at most 18 bits on a
// byte (a value of v costs 2 log2 v + 2 bits, and the values of one byte
// value add up to at most L); the arithmetic coders spend far less (random
// bytes cost 1.01 bytes each, -p random bytes 1.43).
uint64_t payloadBound(uint64_t L) { return 1024 + 3 * L; }

uint64_t packedBound(uint64_t size, uint64_t blockSize) {
    if (size == 0) return kFileHeaderSize;
    const uint64_t blocks = (size + blockSize - 1) / blockSize;
    const uint64_t lastBlock = size - (blocks - 1) * blockSize;
    return kFileHeaderSize + blocks * kBlockHeaderSize + (blocks - 1) * payloadBound(blockSize) +
           payloadBound(lastBlock);
}

// The caller's progress callback as the pipeline's hook; it runs on the
// calling thread, after every block.
PipelineHooks hooksFor(morv_progress_callback progress, void* user) {
    PipelineHooks hooks;
    if (progress != nullptr) {
        hooks.progress = [progress, user](uint64_t done, uint64_t total) {
            progress(done, total, user);
        };
    }
    return hooks;
}

// Runs run(in, out, console) from src to dst, printing nothing. An Exception
// is a full destination (MORV_ERROR_ROOM with roomText) when a write went
// past dst's end, else `errorCode` with its message.
template <typename Run>
int streamBetween(const void* src, size_t srcSize, void* dst, size_t capacity, size_t* dstSize,
                  int errorCode, const char* roomText, Run&& run) {
    MemoryReader reader(src, srcSize);
    std::istream in(&reader);
    MemoryWriter writer(dst, capacity);
    std::ostream out(&writer);
    NullBuffer nothing;
    std::ostream console(&nothing);
    try {
        run(in, out, console);
    } catch (const Exception& e) {
        if (writer.overflowed()) return fail(MORV_ERROR_ROOM, roomText);
        return fail(errorCode, e.what());
    }
    *dstSize = writer.written();
    return MORV_OK;
}

size_t toSize(uint64_t bound) {
    return bound > static_cast<uint64_t>(SIZE_MAX) ? SIZE_MAX : static_cast<size_t>(bound);
}

}  // namespace

extern "C" {

void morv_params_init(morv_params* params) {
    if (params == nullptr) return;
    params->method = MORV_DC;
    params->static_coder = 0;
    params->rle0 = 1;
    params->prefix_code = 0;
    params->block_size = 0;
    params->threads = 0;
}

size_t morv_compress_bound(uint64_t size) {
    if (size > kMaxInput) return 0;
    // Blocks of 4096 bytes or more, the whole input at most: the per-block
    // costs are largest with the smallest such blocks.
    const uint64_t blockSize = std::min<uint64_t>(std::max<uint64_t>(size, 1), kBoundMinBlock);
    return toSize(std::max(packedBound(size, blockSize),
                           packedBound(size, std::min<uint64_t>(size, MaxBlockSize))));
}

size_t morv_compress_bound_params(uint64_t size, const morv_params* params) {
    BlockPlan plan;
    if (size > kMaxInput || !planOf(params, plan)) return 0;
    uint64_t blockSize = plan.blockSize == 0 ? size : plan.blockSize;
    blockSize = std::max<uint64_t>(1, std::min<uint64_t>(blockSize, MaxBlockSize));
    return toSize(packedBound(size, blockSize));
}

int morv_compress(const void* src, size_t src_size, void* dst, size_t dst_capacity, size_t* dst_size,
                  const morv_params* params) {
    return morv_compress_progress(src, src_size, dst, dst_capacity, dst_size, params, nullptr, nullptr);
}

int morv_compress_progress(const void* src, size_t src_size, void* dst, size_t dst_capacity,
                           size_t* dst_size, const morv_params* params, morv_progress_callback progress,
                           void* user) {
    return guarded([&] {
        if (dst_size != nullptr) *dst_size = 0;
        if (src == nullptr || dst_size == nullptr || (dst == nullptr && dst_capacity != 0)) {
            return fail(MORV_ERROR_PARAMS, "A buffer or the size pointer is null");
        }
        BlockPlan plan;
        if (!planOf(params, plan)) return MORV_ERROR_PARAMS;
        if (src_size == 0) return fail(MORV_ERROR_PARAMS, "Cannot compress empty file (file size is 0)");
        if (static_cast<uint64_t>(src_size) > kMaxInput) {
            return fail(MORV_ERROR_TOO_LARGE, "Cannot compress file larger than 4294967295 bytes");
        }
        return streamBetween(src, src_size, dst, dst_capacity, dst_size, MORV_ERROR_PARAMS,
                             "Destination buffer too small for the packed data",
                             [&](std::istream& in, std::ostream& out, std::ostream& console) {
                                 compressStream(in, src_size, out, "input", "output", plan, console,
                                                nullptr, hooksFor(progress, user));
                             });
    });
}

int morv_unpacked_size(const void* src, size_t src_size, uint64_t* size) {
    return guarded([&] {
        if (size != nullptr) *size = 0;
        if ((src == nullptr && src_size != 0) || size == nullptr) {
            return fail(MORV_ERROR_PARAMS, "A buffer or the size pointer is null");
        }
        MemoryReader reader(src, src_size);
        std::istream in(&reader);
        try {
            *size = unpackedSizeOf(in);
        } catch (const Exception& e) {
            return fail(MORV_ERROR_DAMAGED, e.what());
        }
        return MORV_OK;
    });
}

int morv_extract(const void* src, size_t src_size, void* dst, size_t dst_capacity, size_t* dst_size,
                 int prefix_code, unsigned threads) {
    return morv_extract_progress(src, src_size, dst, dst_capacity, dst_size, prefix_code, threads,
                                 nullptr, nullptr);
}

int morv_extract_progress(const void* src, size_t src_size, void* dst, size_t dst_capacity,
                          size_t* dst_size, int prefix_code, unsigned threads,
                          morv_progress_callback progress, void* user) {
    return guarded([&] {
        if (dst_size != nullptr) *dst_size = 0;
        if ((src == nullptr && src_size != 0) || dst_size == nullptr ||
            (dst == nullptr && dst_capacity != 0)) {
            return fail(MORV_ERROR_PARAMS, "A buffer or the size pointer is null");
        }
        uint64_t declared = 0;
        const int sized = morv_unpacked_size(src, src_size, &declared);
        if (sized != MORV_OK) return sized;
        if (declared > dst_capacity) {
            return fail(MORV_ERROR_ROOM, "Destination buffer too small for the unpacked data");
        }
        BlockPlan plan;
        plan.prefixCode = prefix_code != 0;
        plan.threads = threadsFor(threads);
        return streamBetween(src, src_size, dst, dst_capacity, dst_size, MORV_ERROR_DAMAGED,
                             "Destination buffer too small for the unpacked data",
                             [&](std::istream& in, std::ostream& out, std::ostream& console) {
                                 decompressStream(in, out, "output", detectCpuFeatures(), plan, console,
                                                  hooksFor(progress, user));
                             });
    });
}

const char* morv_error_text(int code) {
    switch (code) {
        case MORV_OK:
            return "no error";
        case MORV_ERROR_PARAMS:
            return "invalid parameters";
        case MORV_ERROR_DAMAGED:
            return "damaged packed data";
        case MORV_ERROR_ROOM:
            return "destination too small";
        case MORV_ERROR_MEMORY:
            return "out of memory";
        case MORV_ERROR_TOO_LARGE:
            return "input too large";
        case MORV_ERROR_INTERNAL:
            return "internal error";
        default:
            return "unknown result code";
    }
}

const char* morv_last_error(void) { return lastError.c_str(); }

}  // extern "C"
