// The default pipeline. Compression reads as its stages: BWT, distance
// coding, value coding, closing bits and flush; extraction is the same list
// reversed. The value coder is a template parameter so the per-value loop
// inlines the arithmetic coder (or the prefix code) whichever is in use.
#include "codec/DcCodec.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <exception>
#include <memory>
#include <ostream>
#include <system_error>
#include <type_traits>
#include <vector>

#include "base/Compiler.h"
#include "base/Exception.h"
#include "base/Platform.h"
#include "base/Timing.h"
#include "codec/BlockStages.h"
#include "codec/DcProductDecoder.h"
#include "codec/DcValueCoding.h"
#include "diag/Dumps.h"
#include "diag/Histograms.h"
#include "io/BitStream.h"
#include "transform/Bwt.h"
#include "transform/DistanceCoding.h"

#if MORV_HAVE_THREADS
#include <condition_variable>
#include <mutex>
#include <thread>
#endif

namespace {

template <typename ValueCoder>
void writeValues(ValueCoder& coder, const uint32_t* values, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) coder.encodeValue(values[i]);
    coder.finish();
}

// Values are decoded kLag ahead of the inverse transform: each value the
// transform takes is replaced by decoding one more. The arithmetic decoder
// and the inverse transform are each a chain of dependent steps, and the
// value being decoded is not the one being used, so the two chains run side
// by side instead of one after the other. The decoder works on a copy of the
// model and coder that nothing else can reach, so its state can stay in
// registers. At most n values are decoded, and never more than kLag beyond
// those the transform has taken (it stops early on damaged data).
constexpr uint32_t kLag = 64;  // a power of two

// The source the inverse transform pulls values from, holding the decoder
// and the values decoded ahead.
template <typename ValueCoder>
struct LaggedValues {
    ValueCoder work;
    uint32_t n;
    uint32_t decoded = 0;
    uint32_t taken = 0;
    uint32_t ring[kLag];  // the values decoded and not yet taken

    LaggedValues(const ValueCoder& coder, uint32_t count) : work(coder), n(count) {
        while (decoded < n && decoded < kLag) ring[decoded++ % kLag] = work.decodeValue();
    }

    MORV_FORCE_INLINE uint32_t operator()() {
        const uint32_t v = ring[taken++ % kLag];
        if (decoded < n) ring[decoded++ % kLag] = work.decodeValue();
        return v;
    }
};

#if MORV_HAVE_THREADS
// Decodes count values into out.
template <typename ValueCoder>
void decodeValues(ValueCoder& coder, uint32_t* out, uint32_t count) {
#if MORV_HAVE_DC_PRODUCT_DECODER
    if constexpr (std::is_same_v<ValueCoder, DcProductDecoder>) {
        coder.decodeValues(out, count);  // its loop is built for AVX2
    } else
#endif
    {
        for (uint32_t i = 0; i < count; ++i) out[i] = coder.decodeValue();
    }
}

// Where one thread waits for the other's progress: a short spin on the
// condition, then sleep on a condition variable. Not std::atomic::wait: in
// the standard library of the Windows builds (GCC 12, no futex) its notify
// does not take the lock the waiter sleeps under, so a wakeup can be lost
// and the wait then never ends.
class Progress {
public:
    // Wakes whoever waits; call after the store it waits for.
    void signal() {
        { std::lock_guard<std::mutex> hold(mutex_); }
        changed_.notify_all();
    }

    // Returns once ready() holds; ready reads atomics only.
    template <typename Ready>
    void await(Ready ready) {
        for (int spin = 0; spin < kSpins; ++spin)
            if (ready()) return;
        std::unique_lock<std::mutex> hold(mutex_);
        changed_.wait(hold, ready);
    }

private:
    // (Spinning up to 200 microseconds, with PAUSE between the reads, before
    // sleeping: the iDC time on two processors within the noise, text.10M
    // 0.067 -> 0.066 s and binary.10M 0.142 -> 0.140 s, medians of 15-21,
    // the builds alternated.)
    static constexpr int kSpins = 64;
    std::mutex mutex_;
    std::condition_variable changed_;
};

// The values decoded on a thread of their own and handed to the inverse
// transform, which runs on the calling thread, in chunks through a ring: the
// two chains of dependent steps then run on two processors. The helper
// decodes at most kChunks chunks ahead of the values taken, and stops when
// the object goes (the transform may stop early on damaged data); all n
// values only when they are all taken, as they are when the transform
// succeeds, so the code ends where the lagged source says it does.
template <typename ValueCoder>
class ThreadedValues {
public:
    static constexpr uint32_t kChunk = 8192;  // values
    static constexpr uint32_t kChunks = 8;    // a power of two

    // Starts the helper on a copy of coder, which start() has been called
    // on. Throws std::system_error when no thread can be started.
    ThreadedValues(const ValueCoder& coder, uint32_t n)
        : work(coder),
          count(n),
          ring(std::make_unique_for_overwrite<uint32_t[]>(size_t{kChunk} * kChunks)) {
        helper = std::thread([this] { produce(); });
    }
    ThreadedValues(const ThreadedValues&) = delete;
    ThreadedValues& operator=(const ThreadedValues&) = delete;
    ~ThreadedValues() {
        stop.store(true, std::memory_order_release);
        progress.signal();  // should the helper wait for room
        if (helper.joinable()) helper.join();
    }

    // The next value; never asked for more than n.
    MORV_FORCE_INLINE uint32_t next() {
        if (taken == ready) [[unlikely]]
            waitForChunk();
        return ring[taken++ & (kChunk * kChunks - 1)];
    }

    // After all n values were taken: where their code ends.
    uint64_t codeEnd() {
        if (helper.joinable()) helper.join();
        return work.codeEnd();
    }

private:
    // Hands back the chunks taken so far and waits until the next one is
    // decoded; rethrows what the helper threw instead.
    void waitForChunk() {
        assert(taken < count);
        released.store(taken / kChunk, std::memory_order_release);
        progress.signal();
        progress.await([&] {
            const uint32_t done = decoded.load(std::memory_order_acquire);
            return done == kFailed || uint64_t{done} * kChunk > taken;
        });
        const uint32_t done = decoded.load(std::memory_order_acquire);
        if (done == kFailed) std::rethrow_exception(failure);
        ready = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{done} * kChunk, count));
    }

    void produce() {
        try {
            produceChunks();
        } catch (...) {
            failure = std::current_exception();
            decoded.store(kFailed, std::memory_order_release);
            progress.signal();
        }
    }

    void produceChunks() {
        const uint32_t chunks = count / kChunk + (count % kChunk != 0 ? 1 : 0);
        for (uint32_t c = 0; c < chunks; ++c) {
            progress.await([&] {
                return c - released.load(std::memory_order_acquire) < kChunks ||
                       stop.load(std::memory_order_acquire);
            });
            if (stop.load(std::memory_order_acquire)) return;
            uint32_t* slot = ring.get() + size_t{c % kChunks} * kChunk;
            const uint32_t values = c + 1 < chunks ? kChunk : count - c * kChunk;
            decodeValues(work, slot, values);
            decoded.store(c + 1, std::memory_order_release);
            progress.signal();
        }
    }

    static constexpr uint32_t kFailed = ~uint32_t{0};  // in decoded: the helper threw

    ValueCoder work;  // the helper's alone until it ends
    std::exception_ptr failure;
    uint32_t count;
    std::unique_ptr<uint32_t[]> ring;
    std::atomic<uint32_t> decoded{0};   // chunks decoded
    std::atomic<uint32_t> released{0};  // chunks taken
    std::atomic<bool> stop{false};
    Progress progress;
    uint32_t taken = 0;  // values taken, by the calling thread
    uint32_t ready = 0;  // values it may take without waiting
    std::thread helper;
};

// The source inverseDc pulls from: a reference to the threaded values, so
// that the transform's copy stays small.
template <typename ValueCoder>
struct ThreadedSource {
    ThreadedValues<ValueCoder>* values;
    MORV_FORCE_INLINE uint32_t operator()() { return values->next(); }
};

// Blocks from this many values on have their values decoded on a helper
// thread when the block has more than one thread (fewer take about a
// millisecond to decode, not worth a thread's start). Measured on two
// processors against the lagged source (the program's -v times, median of
// 9, the builds alternated): the iDC + adaptive arithmetic time of text.10M
// 0.107 -> 0.072 s, binary.10M 0.266 -> 0.159 s, corpus.blk 0.044 -> 0.035 s.
constexpr uint32_t kThreadedValuesFrom = 1u << 16;
#endif

// Decodes the n values into the column, handing its runs to the sink as
// well (see inverseDc); returns where their code ends (see the coders'
// codeEnd). threads: those the block may use.
template <typename ValueCoder, typename RunSink = NoRunSink>
uint64_t readValues(ValueCoder& coder, uint32_t n, uint32_t L, uint8_t* column,
                    const CpuFeatures& features, unsigned threads = 1, RunSink sink = {}) {
    coder.start();
#if MORV_HAVE_THREADS
    if (threads > 1 && n >= kThreadedValuesFrom) {
        std::unique_ptr<ThreadedValues<ValueCoder>> values;
        try {
            values = std::make_unique<ThreadedValues<ValueCoder>>(coder, n);
        } catch (const std::system_error&) {
            // No thread to be had: the values are decoded here.
        }
        if (values) {
            inverseDc(ThreadedSource<ValueCoder>{values.get()}, n, L, column, features,
                      DcInverseKernel::Automatic, sink);
            return values->codeEnd();
        }
    }
#else
    (void)threads;
#endif
    return inverseDc(LaggedValues<ValueCoder>(coder, n), n, L, column, features,
                     DcInverseKernel::Automatic, sink)
        .work.codeEnd();
}

#if MORV_HAVE_DC_PRODUCT_DECODER
// readValues built for AVX2, with the decoder inlined into its loops (the
// helper thread's loop is the decodeValues above).
template <typename RunSink>
MORV_TARGET_AVX2 MORV_FLATTEN uint64_t readProductValues(DcProductDecoder& coder, uint32_t n, uint32_t L,
                                                         uint8_t* column, const CpuFeatures& features,
                                                         unsigned threads, RunSink sink) {
    return readValues(coder, n, L, column, features, threads, sink);
}
#endif

// Whether the inverse transform's table is built from the column's runs as
// they are decoded (RunWordTable): when the values of a large block are
// decoded on a helper thread (see readValues), the calling thread then fills
// the table while it would otherwise wait for values, and no pass over the
// column is left for it. Measured against the packed table built after the
// decoding, two processors (the program's Decompression time, median of 9,
// the builds alternated, two sessions): text.10M 0.139 -> 0.140 and 0.138
// -> 0.114 s (fastest 0.135 -> 0.121, 0.126 -> 0.110), binary.10M 0.214 ->
// 0.202 and 0.205 -> 0.197 s, corpus.blk 0.047 -> 0.042 and 0.046 -> 0.048
// s; the iBWT time alone 0.058 -> 0.043 (text), 0.053 -> 0.040 (binary),
// 0.012 -> 0.009 s (corpus). On one processor it gained nothing (text.10M
// 0.241 -> 0.248 s, corpus.blk 0.081 -> 0.076 s, binary.10M 0.383 -> 0.389
// s), and its table takes 4 bytes a row instead of 3 (56 MB at most for a
// 10 MiB block instead of 46), so the packed table stays there.
bool fillsTableWhileDecoding(uint32_t n, uint32_t L, uint32_t idx, unsigned threads) {
#if MORV_HAVE_THREADS
    return threads > 1 && n >= kThreadedValuesFrom && idx < L && RunWordTable::wanted(L);
#else
    (void)n;
    (void)L;
    (void)idx;
    (void)threads;
    return false;
#endif
}

// Hands the column's runs to the inverse transform's table.
struct RunWords {
    RunWordTable* table;
    MORV_FORCE_INLINE void operator()(uint32_t k, uint8_t c, uint32_t len) const {
        table->addRun(k, c, len);
    }
};

}  // namespace

void compressDc(std::ostream& out, uint8_t* block, uint32_t L, const BlockContext& context) {
    const BlockPlan& s = context.plan;
    const TransformedBlock t = beginBlockCompression(block, L, "   Performing DC coding...", context);

    const int32_t c3 = clockMs();
    DcEncoder dc;
    dc.encode(block, block + L);
    const uint32_t n = dc.count();
    const int32_t c4 = clockMs();
    if (s.verbose) context.console << "      Size of data after DC: " << n << std::endl;
    if (context.diagnostics && context.diagnostics->dcHistogram) {
        recordDcHistogram(*context.diagnostics->dcHistogram, dc.data(), n);
    }

    StreamOutBitStream bits(out, kBitStreamWords);
    if (s.verbose) {
        context.console << "   Coding data to arithmetic stream..." << std::endl;
        context.console << "      Number of symbols: " << (s.prefixCode ? 0 : dcClassCount(L))
                        << std::endl;
    }
    const int32_t c5 = clockMs();
    bits.reset();
    bits.writeBits(t.index, 32);
    bits.writeBits(n, 32);
    if (s.prefixCode) {
        DcPrefixCode<OutBitStream> coder(bits);
        writeValues(coder, dc.data(), n);
    } else {
        DcValueModel<ArithmeticEncoder> coder(L, bits);
        writeValues(coder, dc.data(), n);
    }
    bits.flush();
    const int32_t c6 = clockMs();

    if (s.verbose) {
        printTiming(context.console, "   BWT time: ", t.bwt.start, t.bwt.end);
        printTiming(context.console, "   DC time: ", c3, c4);
        printTiming(context.console, "   Adaptive arithmetic time: ", c5, c6);
        printTiming(context.console, "   Block compression time: ", t.start, c6);
    }
}

uint64_t decompressDc(std::istream& in, uint8_t* out, uint32_t L, const BlockContext& context) {
    const BlockPlan& s = context.plan;
    const int32_t d0 = clockMs();
    StreamInBitStream bits(in, kBitStreamWords);
    if (s.verbose) {
        context.console << "   Decoding data from arithmetic stream, performing iDC..." << std::endl;
        context.console << "      Number of symbols: " << (s.prefixCode ? 0 : dcClassCount(L))
                        << std::endl;
    }
    const uint32_t idx = bits.readBits(32);
    if (s.verbose) context.console << "      First suffix index: " << idx << std::endl;
    const uint32_t n = bits.readBits(32);
    if (s.verbose) context.console << "      Size of DC data: " << n << std::endl;

    // The column is rebuilt in the output buffer and the inverse BWT turns
    // it into the block in place. Every byte of it is written by the inverse
    // transform (or it throws), so the buffer is not cleared first.
    uint8_t* column = out;
    std::unique_ptr<RunWordTable> words;
    if (!s.prefixCode && fillsTableWhileDecoding(n, L, idx, context.inverseThreads))
        words = std::make_unique<RunWordTable>(L, idx);
    TableAhead table(words ? 0 : L, context);  // the run table needs nothing set up ahead
    uint64_t codeEnd = 0;
    if (s.prefixCode) {
        DcPrefixCode<InBitStream> coder(bits);
        codeEnd = readValues(coder, n, L, column, context.features);
    } else {
#if MORV_HAVE_DC_PRODUCT_DECODER
        // The values' one dispatch: the AVX2 decoder where the processor has
        // it (bench_coders DcDecodeValuesAvx2 against DcDecodeValues: 7 to
        // 13% less on the corpus files; see DcProductDecoder.h).
        if (context.features.avx2) {
            DcProductDecoder coder(L, bits);
            codeEnd = words ? readProductValues(coder, n, L, column, context.features,
                                                context.inverseThreads, RunWords{words.get()})
                            : readProductValues(coder, n, L, column, context.features,
                                                context.inverseThreads, NoRunSink{});
        } else
#endif
        {
            DcValueModel<ArithmeticDecoder> coder(L, bits);
            codeEnd = words ? readValues(coder, n, L, column, context.features, context.inverseThreads,
                                         RunWords{words.get()})
                            : readValues(coder, n, L, column, context.features, context.inverseThreads);
        }
    }
    if (codeEnd == kNoCodeEnd) throw Exception(kCodedEndMessage);
    const int32_t d1 = clockMs();
    const StageClock ibwt = words ? untransformBlock(out, *words, context)
                                  : untransformBlock(out, column, L, idx, context, table.take());
    const int32_t d4 = clockMs();

    if (s.verbose) {
        printTiming(context.console, "   iDC + adaptive arithmetic time: ", d0, d1);
        printTiming(context.console, "   iBWT time: ", ibwt.start, ibwt.end);
        printTiming(context.console, "   Block decompression time: ", d0, d4);
    }
    return payloadBytes(codeEnd);
}
