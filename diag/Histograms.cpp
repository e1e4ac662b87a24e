// Histogram writers. Byte items are counted in a 256-entry array walked in
// signed order (128..255, 0..127), which prints exactly what an ordered map
// keyed by signed bytes would, without the map. DC values can take any of
// L + 1 values, so they are counted in an ordered map and printed in its order.
// Counts and the before/after sums stay within 32 bits: a block never holds
// more than 2^32 - 1 items.
#include "diag/Histograms.h"

#include <array>
#include <map>

namespace {

template <typename Key, typename Printer>
void printTableLine(std::ostream& out, Printer printKey, Key key, uint32_t count, uint32_t before,
                    uint32_t total) {
    printKey(out, key);
    out << " - " << count << "     [" << before << ", " << (total - before - count) << "]" << std::endl;
}

void beginSection(std::ostream& out, const char* title, uint32_t size) {
    out << "[Block] " << std::endl;
    out << "Block size = " << size << std::endl;
    out << title << std::endl;
}

void endSection(std::ostream& out) {
    out << std::endl;
    out << std::endl;
}

void printRawByte(std::ostream& out, uint8_t key) { out.put(static_cast<char>(key)); }

void printByteDecimal(std::ostream& out, uint8_t key) { out << static_cast<unsigned>(key); }

void printValueDecimal(std::ostream& out, uint32_t key) { out << key; }

}  // namespace

void printHistogramTable(std::ostream& out, const uint8_t* items, uint32_t count,
                         ByteKeyPrinter printKey) {
    std::array<uint32_t, 256> counts{};
    for (uint32_t i = 0; i < count; ++i) ++counts[items[i]];

    uint32_t before = 0;
    for (uint32_t step = 0; step < 256; ++step) {
        const uint8_t key = static_cast<uint8_t>(step + 128);  // 128..255, then 0..127
        if (counts[key] == 0) continue;
        printTableLine(out, printKey, key, counts[key], before, count);
        before += counts[key];
    }
}

void printHistogramTable(std::ostream& out, const uint32_t* items, uint32_t count,
                         ValueKeyPrinter printKey) {
    std::map<uint32_t, uint32_t> counts;
    for (uint32_t i = 0; i < count; ++i) ++counts[items[i]];

    uint32_t before = 0;
    for (const auto& [key, keyCount] : counts) {
        printTableLine(out, printKey, key, keyCount, before, count);
        before += keyCount;
    }
}

void recordInputHistogram(std::ostream& out, const uint8_t* bytes, uint32_t L) {
    beginSection(out, "Data histogram:", L);
    printHistogramTable(out, bytes, L, printRawByte);
    endSection(out);
}

void recordMtfHistogram(std::ostream& out, const uint8_t* indices, uint32_t L) {
    beginSection(out, "Data MTF histogram:", L);
    printHistogramTable(out, indices, L, printByteDecimal);
    endSection(out);
}

void recordDcHistogram(std::ostream& out, const uint32_t* values, uint32_t n) {
    beginSection(out, "Data DC histogram:", n);
    printHistogramTable(out, values, n, printValueDecimal);
    endSection(out);
}
