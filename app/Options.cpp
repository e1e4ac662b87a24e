// Command-line options. The parser is table driven: every option string maps
// to one field of Settings, and the checks run only after the whole argument
// list has been walked, so options and the input name may come in any order.
// Each diagnostic file is checked while walking, as its option is met: it is
// opened for appending (created when missing, never truncated) and closed, so
// a later usage error leaves the files named before it on disk with their
// bytes; a compression writes them only when it runs.
#include "app/Options.h"

#include "app/OutputFiles.h"
#include "app/Settings.h"
#include "base/Exception.h"

#include <array>
#include <fstream>
#include <iostream>
#include <string>

namespace {

enum class OptionKind {
    Flag,    // sets `flag`
    Text,    // stores the next argument in `text` (and sets `flag` if given)
    Number,  // stores the next argument read as a number in `number`
    File,    // opens `stream` on the next argument and sets `flag`
};

struct OptionEntry {
    std::string_view name;
    std::string_view alias;  // second spelling, empty if none
    OptionKind kind;
    bool Settings::*flag = nullptr;
    std::string Settings::*text = nullptr;
    uint32_t Settings::*number = nullptr;
    Settings::DumpKind dump = Settings::DumpKind::Bwt;  // which diagnostic file (File options)
    const char* expected = nullptr;                     // message when the value is missing
    const char* openFailure = nullptr;  // message, followed by the name, when opening fails
};

// Matching order of the options; the first option string equal to an
// argument wins.
const std::array<OptionEntry, 26> optionTable = {{
    {"-c", "", OptionKind::Flag, &Settings::compress},
    {"-e", "", OptionKind::Flag, &Settings::extract},
    {"-v", "--verbose", OptionKind::Flag, &Settings::verbose},
    {"-o",
     "",
     OptionKind::Text,
     nullptr,
     &Settings::outputFileName,
     nullptr,
     {},
     "Filename expected after -o parameter"},
    {"--test",
     "",
     OptionKind::Text,
     &Settings::test,
     &Settings::testFileName,
     nullptr,
     {},
     "Filename expected after --test parameter"},
    {"-b",
     "",
     OptionKind::Number,
     nullptr,
     nullptr,
     &Settings::blockSize,
     {},
     "Number (block size) expected after -b parameter"},
    {"-d", "--dc", OptionKind::Flag, &Settings::dc},
    {"-m", "--mtf0", OptionKind::Flag, &Settings::mtf0},
    {"--mtf1", "", OptionKind::Flag, &Settings::mtf1},
    {"-r", "--rle0", OptionKind::Flag, &Settings::rle0},
    {"--norle0", "", OptionKind::Flag, &Settings::noRle0},
    {"-a", "", OptionKind::Flag, &Settings::adaptiveCoder},
    {"-s", "", OptionKind::Flag, &Settings::staticCoder},
    {"-p", "", OptionKind::Flag, &Settings::dcPrefixCode},
    {"--bwt_output", "", OptionKind::File, &Settings::bwtOutput, nullptr, nullptr,
     Settings::DumpKind::Bwt, "Filename expected after --bwt_output parameter",
     "Unable to open BWT output file: "},
    {"--mtf_output", "", OptionKind::File, &Settings::mtfOutput, nullptr, nullptr,
     Settings::DumpKind::Mtf, "Filename expected after --mtf_output parameter",
     "Unable to open MTF output file: "},
    {"--rle0_output", "", OptionKind::File, &Settings::rle0Output, nullptr, nullptr,
     Settings::DumpKind::Rle0, "Filename expected after --rle0_output parameter",
     "Unable to open RLE0 output file: "},
    // The DC dump shares the RLE0 dump's failure text.
    {"--dc_output", "", OptionKind::File, &Settings::dcOutput, nullptr, nullptr, Settings::DumpKind::Dc,
     "Filename expected after --dc_output parameter", "Unable to open RLE0 output file: "},
    {"--input_histogram", "", OptionKind::File, &Settings::inputHistogram, nullptr, nullptr,
     Settings::DumpKind::InputHistogram, "Filename expected after --input_histogram parameter",
     "Unable to open output histogram file: "},
    {"--mtf_histogram", "", OptionKind::File, &Settings::mtfHistogram, nullptr, nullptr,
     Settings::DumpKind::MtfHistogram, "Filename expected after --mtf_histogram parameter",
     "Unable to open output histogram file: "},
    {"--rle0_histogram", "", OptionKind::File, &Settings::rle0Histogram, nullptr, nullptr,
     Settings::DumpKind::Rle0Histogram, "Filename expected after --rle0_histogram parameter",
     "Unable to open output histogram file: "},
    {"--dc_histogram", "", OptionKind::File, &Settings::dcHistogram, nullptr, nullptr,
     Settings::DumpKind::DcHistogram, "Filename expected after --dc_histogram parameter",
     "Unable to open output histogram file: "},
    {"--suffix_array_output", "", OptionKind::File, &Settings::suffixArrayOutput, nullptr, nullptr,
     Settings::DumpKind::SuffixArray, "Filename expected after --suffix_array_output parameter",
     "Unable to open output suffix array file: "},
    {"--suffixes_output", "", OptionKind::File, &Settings::suffixesOutput, nullptr, nullptr,
     Settings::DumpKind::Suffixes, "Filename expected after --suffixes_output parameter",
     "Unable to open output suffixes file: "},
    {"--suffixes_output_max_size",
     "",
     OptionKind::Number,
     nullptr,
     nullptr,
     &Settings::suffixesOutputMaxSize,
     {},
     "Number (max suffix size) expected after -suffixes_output_max_size parameter"},
    {"-h", "--help", OptionKind::Flag, &Settings::help},
}};

const std::array<const char*, 42> helpLines = {
    "This program is an implementation of project Q17 for MORV.",
    "Version: 0.27",
    "Date of release: 2005.11.09",
    "",
    "You can use the following options:",
    "-c                 - compress",
    "-e                 - extract",
    "-v, --verbose      - trigger additional messages",
    "-o filename        - output filename (when not supplied xoutput is chosen)",
    "-b blocksize       - set fixed block size",
    "-m, --mtf0         - use MTF transform",
    "-r, --rle0         - use RLE0 coding",
    "--norle0           - force compressor not to use rle0",
    "-d, --dc           - use DC transform",
    "-a                 - use adaptive arithmetic coding",
    "-s                 - use static arithmetic coding",
    "--bwt_output filaname   - print data after BWT transform to file",
    "--mtf_output filename   - print data after MTF transform to file",
    "--rle0_output           - print data after RLE0 coding to file",
    "--dc_output             - print data after DC coding to file",
    "--input_histogram       - generate file with input symbols histogram",
    "--mtf_histogram         - generate file with histogram of symbols after",
    "                          MTF transform",
    "--rle0_histogram        - generate file with histogram of symbols after",
    "                          RLE0 coding",
    "--dc_histogram          - generate file with histogram of symbols after",
    "                          DC coding",
    "--suffixes_output filename     - print sorted list of suffixes to file",
    "--suffixes_output_max_size num - limit printed suffix length (print ",
    "                                 only num first symbols). this option",
    "                                 should be used only in combination ",
    "                                 with --suffixes_output.",
    "--suffix_array_output filename - print suffix array (only indices) to ",
    "                                 a file",
    "--test filename                - option to be used when compressing. forces",
    "                                 compressor to automaticly decompress file",
    "                                 and check for file contents equality",
    "",
    "Examples of use:",
    "morv-Q17 -c file1 -o compressedfile1 -m -r -b 10000",
    "morv-Q17 -e compressedfile1 -o file1 --verbose",
    "morv-Q17 -c --dc file1 --dc_histogram dchist.txt",
};

const char* const packedSuffix = ".morvQ17p";
const char* const unpackedSuffix = ".morvQ17u";

void printLine(const char* text) { std::cout << text << std::endl; }

const OptionEntry* findOption(std::string_view argument) {
    for (const OptionEntry& entry : optionTable) {
        if (argument == entry.name || (!entry.alias.empty() && argument == entry.alias)) {
            return &entry;
        }
    }
    return nullptr;
}

// Notes the file a diagnostic option named; a repeated option replaces the
// name it gave before.
void recordDiagnosticFile(Settings& s, const OptionEntry& entry, const std::string& name, bool created) {
    for (Settings::DiagnosticFile& file : s.diagnosticFiles) {
        if (file.kind == entry.dump) {
            file.name = name;
            file.createdByParser = created;
            return;
        }
    }
    s.diagnosticFiles.push_back({entry.dump, name, entry.openFailure, created});
}

// Applies one option whose value (if it takes one) is `value`.
void applyOption(Settings& s, const OptionEntry& entry, const std::string& value) {
    switch (entry.kind) {
        case OptionKind::Flag:
            s.*entry.flag = true;
            break;
        case OptionKind::Text:
            s.*entry.text = value;
            if (entry.flag != nullptr) {
                s.*entry.flag = true;
            }
            break;
        case OptionKind::Number:
            s.*entry.number = parseNumber(value);
            break;
        case OptionKind::File: {
            // A repeated option names a new file: the last one given is used.
            const bool existed = fileExists(value);
            std::ofstream probe(value, std::ios::out | std::ios::app);
            if (!probe.is_open()) {
                throw Exception(entry.openFailure + value);
            }
            s.*entry.flag = true;
            recordDiagnosticFile(s, entry, value, !existed);
            break;
        }
    }
}

void checkCompression(Settings& s) {
    if (s.rle0 && s.noRle0) {
        throw Exception(
            "Cannot both use (-r,--rle0) and not use (--norle0) RLE0 coding at the same time!");
    }
    if (s.adaptiveCoder && s.staticCoder) {
        throw Exception("Cannot use adaptive (-a) and static (-s) arithmetic coding at he same time!");
    }
    if (int(s.mtf0) + int(s.mtf1) + int(s.dc) > 1) {
        throw Exception(
            "Cannot use MTF0 (-m, --mtf0), MTF1 (--mtf1) or DC (-d, --dc) coding at "
            "he same time! Chose only one of the above.");
    }
    if (s.dc) {
        if (s.rle0) {
            printLine(
                "WARNING: RLE0 compression flag (-r, --rle0) ignored when coding with DC "
                "coder.");
        }
        if (s.noRle0) {
            printLine(
                "WARNING: no RLE0 compression flag (--norle0) ignored when coding with DC "
                "coder.");
        }
        if (s.staticCoder) {
            printLine("WARNING: static arithmetic coder is not unsupported when using DC coder.");
        }
    }
    // RLE0 is on by default for MTF. The method default comes after it, so a
    // run without a method option ends with both `rle0` and `dc` set; DC
    // blocks ignore `rle0`.
    if (!s.dc && !s.rle0 && !s.noRle0) {
        s.rle0 = true;
    }
    if (!s.mtf0 && !s.mtf1 && !s.dc) {
        s.dc = true;
    }
    if (!s.adaptiveCoder && !s.staticCoder) {
        s.adaptiveCoder = true;
    }
    if (s.outputFileName.empty()) {
        s.outputFileName = s.inputFileName + packedSuffix;
        s.outputNameDefaulted = true;
    }
}

void checkExtraction(Settings& s) {
    if (s.outputFileName.empty()) {
        s.outputFileName = s.inputFileName + unpackedSuffix;
        s.outputNameDefaulted = true;
    }
    // Everything an extraction needs comes from the packed file; these
    // options are reported and otherwise left alone.
    const std::array<std::pair<bool Settings::*, const char*>, 13> ignored = {{
        {&Settings::mtf0, "WARNING: MTF0 compression flag (-m, --mtf0) ignored when decompressing."},
        {&Settings::mtf1, "WARNING: MTF1 compression flag (--mtf1) ignored when decompressing."},
        {&Settings::dc, "WARNING: DC compression flag (-d, --dc) ignored when decompressing."},
        {&Settings::rle0, "WARNING: RLE0 compression flag (-r, --rle0) ignored when decompressing."},
        {&Settings::noRle0, "WARNING: no RLE0 compression flag (--norle0) ignored when decompressing."},
        {&Settings::adaptiveCoder,
         "WARNING: adaptive arithmetic coder flag (-a) ignored when decompressing."},
        {&Settings::staticCoder,
         "WARNING: static arithmetic coder flag (-a) ignored when decompressing."},
        {&Settings::bwtOutput, "WARNING: flag (--bwt_output) ignored when decompressing."},
        {&Settings::mtfOutput, "WARNING: flag (--mtf_output) ignored when decompressing."},
        {&Settings::rle0Output, "WARNING: flag (--rle0_output) ignored when decompressing."},
        {&Settings::inputHistogram, "WARNING: flag (--input_histogram) ignored when decompressing."},
        {&Settings::mtfHistogram, "WARNING: flag (--mtf_histogram) ignored when decompressing."},
        {&Settings::rle0Histogram, "WARNING: flag (--rle0_histogram) ignored when decompressing."},
    }};
    for (const auto& [flag, warning] : ignored) {
        if (s.*flag) {
            printLine(warning);
        }
    }
}

// When the data go to the very file standard output writes to (`-o
// /dev/stdout` into a file or a pipe), every line the program prints on
// standard output goes to standard error instead, from the first warning on,
// so that the data stay exact.
void routeLinesAwayFromData(const Settings& s) {
    std::string output = s.outputFileName;
    if (output.empty() && !s.inputFileName.empty() && s.compress != s.extract) {
        output = s.inputFileName + (s.compress ? packedSuffix : unpackedSuffix);
    }
    const bool shared = (!output.empty() && outputSharesStandardOutput(output)) ||
                        (s.compress && s.test && outputSharesStandardOutput(s.testFileName));
    if (shared) {
        std::cout.rdbuf(std::cerr.rdbuf());
    }
}

}  // namespace

uint32_t parseNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\v' ||
                               text[i] == '\f' || text[i] == '\r')) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    uint32_t value = 0;  // unsigned arithmetic wraps modulo 2^32 instead of overflowing
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        value = value * 10u + static_cast<uint32_t>(text[i] - '0');
        ++i;
    }
    return negative ? 0u - value : value;
}

void printHelp(std::ostream& out) {
    for (const char* line : helpLines) {
        out << line << std::endl;
    }
}

bool parseCommandLine(int argc, char** argv) {
    if (argc <= 1) {
        printHelp(std::cout);
        return false;
    }
    Settings& s = settings();

    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const OptionEntry* entry = findOption(argument);
        if (entry == nullptr) {
            if (!s.inputFileName.empty()) {
                throw Exception("Invalid parameter: " + argument);
            }
            s.inputFileName = argument;
            continue;
        }
        if (entry->kind == OptionKind::Flag) {
            applyOption(s, *entry, std::string());
            continue;
        }
        // The value is the next argument, whatever it looks like.
        if (i + 1 >= argc) {
            throw Exception(entry->expected);
        }
        ++i;
        applyOption(s, *entry, argv[i]);
    }

    routeLinesAwayFromData(s);
    if (s.compress && s.extract) {
        throw Exception("Cannot do both compression (-c) and decompression (-e) at the same time!");
    }
    if (!s.compress && !s.extract && !s.help) {
        throw Exception("You must either choose to compress (-c) or to extract (-e)!");
    }
    // A plain request for help needs no input file and ends the run.
    if (s.help && !s.compress && !s.extract) {
        printHelp(std::cout);
        return false;
    }
    if (s.inputFileName.empty()) {
        throw Exception("Input filename missing!");
    }
    if (s.compress) {
        checkCompression(s);
    } else {
        checkExtraction(s);
    }
    if (s.help) {
        printHelp(std::cout);
    }
    return true;
}
