// Option parser tests, in process: settings, defaults, warnings, usage errors
// and the diagnostic files the parser opens.
#include "app/Options.h"
#include "app/Settings.h"
#include "base/Exception.h"
#include "tests/support/ExpectedHelp.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using testdata::expectedHelp;

// Redirects std::cout into a string for the lifetime of the object.
class CoutCapture {
public:
    CoutCapture() : saved_(std::cout.rdbuf(buffer_.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(saved_); }
    CoutCapture(const CoutCapture&) = delete;
    CoutCapture& operator=(const CoutCapture&) = delete;
    std::string text() const { return buffer_.str(); }

private:
    std::ostringstream buffer_;
    std::streambuf* saved_;
};

// Every test starts from default settings and leaves no stream open.
class OptionsTest : public ::testing::Test {
protected:
    void SetUp() override { resetSettings(); }
    void TearDown() override { resetSettings(); }

    // Runs the parser on `args` (without the program name) and keeps what it
    // printed in `printed`.
    bool parse(const std::vector<std::string>& args) {
        std::vector<std::string> storage;
        storage.push_back("morv-Q17");
        storage.insert(storage.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : storage) argv.push_back(arg.data());
        argv.push_back(nullptr);
        CoutCapture capture;
        try {
            const bool result = parseCommandLine(static_cast<int>(storage.size()), argv.data());
            printed = capture.text();
            return result;
        } catch (...) {
            printed = capture.text();
            throw;
        }
    }

    // Runs the parser expecting a usage error; returns its message.
    std::string parseError(const std::vector<std::string>& args) {
        try {
            parse(args);
        } catch (const Exception& e) {
            return e.what();
        }
        ADD_FAILURE() << "no Exception thrown";
        return {};
    }

    std::string printed;
};

bool fileExists(const std::string& path) { return std::filesystem::is_regular_file(path); }

std::uintmax_t fileSize(const std::string& path) { return std::filesystem::file_size(path); }

// ---------------------------------------------------------------- help text

TEST(HelpTest, PrintsTheFortyTwoLinesExactly) {
    std::ostringstream out;
    printHelp(out);
    EXPECT_EQ(out.str(), expectedHelp);
    const std::string text = out.str();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 42);
}

TEST_F(OptionsTest, NoArgumentsPrintsHelpAndStops) {
    EXPECT_FALSE(parse({}));
    EXPECT_EQ(printed, expectedHelp);
}

TEST_F(OptionsTest, ZeroArgumentCountPrintsHelpAndStops) {
    char* argv[] = {nullptr};
    CoutCapture capture;
    EXPECT_FALSE(parseCommandLine(0, argv));
    EXPECT_EQ(capture.text(), expectedHelp);
}

TEST_F(OptionsTest, HelpAloneStopsWithoutInputName) {
    EXPECT_FALSE(parse({"-h"}));
    EXPECT_EQ(printed, expectedHelp);
    resetSettings();
    EXPECT_FALSE(parse({"--help", "file"}));
    EXPECT_EQ(printed, expectedHelp);
}

TEST_F(OptionsTest, HelpAloneStillOpensDiagnosticFiles) {
    testdata::TempDir dir;
    const std::string dump = dir.file("bwt.txt");
    EXPECT_FALSE(parse({"--bwt_output", dump, "-h"}));
    EXPECT_EQ(printed, expectedHelp);
    EXPECT_TRUE(fileExists(dump));
}

TEST_F(OptionsTest, HelpWithCompressionIsPrintedAfterWarningsAndRunGoesOn) {
    EXPECT_TRUE(parse({"-h", "-c", "-d", "-r", "f"}));
    EXPECT_EQ(printed,
              std::string("WARNING: RLE0 compression flag (-r, --rle0) ignored when coding with DC "
                          "coder.\n") +
                  expectedHelp);
    EXPECT_TRUE(settings().compress);
    EXPECT_EQ(settings().outputFileName, "f.morvQ17p");
}

TEST_F(OptionsTest, HelpWithExtractionNeedsInputName) {
    EXPECT_EQ(parseError({"-e", "--help"}), "Input filename missing!");
    EXPECT_EQ(printed, "");
}

TEST_F(OptionsTest, HelpWithExtractionGoesOn) {
    EXPECT_TRUE(parse({"--help", "-e", "p"}));
    EXPECT_EQ(printed, expectedHelp);
    EXPECT_EQ(settings().outputFileName, "p.morvQ17u");
}

// ------------------------------------------------------------- usage errors

struct UsageErrorCase {
    const char* name;
    std::vector<std::string> args;
    std::string message;
};

class UsageErrorTest : public OptionsTest, public ::testing::WithParamInterface<UsageErrorCase> {};

TEST_P(UsageErrorTest, ThrowsExactMessageAndPrintsNothing) {
    EXPECT_EQ(parseError(GetParam().args), GetParam().message);
    EXPECT_EQ(printed, "");
}

const std::string bothModes = "Cannot do both compression (-c) and decompression (-e) at the same time!";
const std::string noMode = "You must either choose to compress (-c) or to extract (-e)!";
const std::string noInput = "Input filename missing!";
const std::string rle0Conflict =
    "Cannot both use (-r,--rle0) and not use (--norle0) RLE0 coding at the same time!";
const std::string coderConflict =
    "Cannot use adaptive (-a) and static (-s) arithmetic coding at he same time!";
const std::string methodConflict =
    "Cannot use MTF0 (-m, --mtf0), MTF1 (--mtf1) or DC (-d, --dc) coding at he same time! Chose "
    "only one of the above.";

INSTANTIATE_TEST_SUITE_P(
    Parser, UsageErrorTest,
    ::testing::Values(
        UsageErrorCase{"BothModes", {"-c", "-e", "f"}, bothModes},
        UsageErrorCase{"BothModesBeforeInputName", {"-e", "-c"}, bothModes},
        UsageErrorCase{"BothModesWithHelp", {"-e", "-c", "-h"}, bothModes},
        UsageErrorCase{"NoMode", {"f"}, noMode},
        UsageErrorCase{"NoModeOptionsOnly", {"-v", "-m"}, noMode},
        UsageErrorCase{"NoInputCompress", {"-c"}, noInput},
        UsageErrorCase{"NoInputExtract", {"-e", "-o", "out"}, noInput},
        UsageErrorCase{"EmptyInputName", {"-c", ""}, noInput},
        UsageErrorCase{"Rle0AndNoRle0", {"-c", "f", "-r", "--norle0"}, rle0Conflict},
        UsageErrorCase{"Rle0LongAndNoRle0", {"--norle0", "-c", "--rle0", "f"}, rle0Conflict},
        UsageErrorCase{
            "Rle0ConflictBeforeCoderConflict", {"-c", "f", "-r", "--norle0", "-a", "-s"}, rle0Conflict},
        UsageErrorCase{"AdaptiveAndStatic", {"-c", "-a", "-s", "f"}, coderConflict},
        UsageErrorCase{
            "CoderConflictBeforeMethodConflict", {"-c", "-a", "-s", "-m", "-d", "f"}, coderConflict},
        UsageErrorCase{"Mtf0AndMtf1", {"-c", "-m", "--mtf1", "f"}, methodConflict},
        UsageErrorCase{"Mtf0AndDc", {"-c", "--mtf0", "-d", "f"}, methodConflict},
        UsageErrorCase{"Mtf1AndDc", {"-c", "--mtf1", "--dc", "f"}, methodConflict},
        UsageErrorCase{"AllThreeMethods", {"-c", "-m", "--mtf1", "-d", "f"}, methodConflict},
        UsageErrorCase{"SecondName", {"-c", "a", "b"}, "Invalid parameter: b"},
        UsageErrorCase{"SecondNameLooksLikeOption", {"-x", "-c", "-y"}, "Invalid parameter: -y"},
        UsageErrorCase{"FirstErrorEndsTheWalk", {"-c", "a", "b", "-o"}, "Invalid parameter: b"},
        UsageErrorCase{"OutputLast", {"-c", "f", "-o"}, "Filename expected after -o parameter"},
        UsageErrorCase{"TestLast", {"-c", "f", "--test"}, "Filename expected after --test parameter"},
        UsageErrorCase{
            "BlockSizeLast", {"-c", "f", "-b"}, "Number (block size) expected after -b parameter"},
        UsageErrorCase{"MaxSizeLast",
                       {"-c", "f", "--suffixes_output_max_size"},
                       "Number (max suffix size) expected after -suffixes_output_max_size "
                       "parameter"},
        UsageErrorCase{"ValueMissingBeforeModeCheck", {"-o"}, "Filename expected after -o parameter"}),
    [](const ::testing::TestParamInfo<UsageErrorCase>& info) { return info.param.name; });

// Conflicting method and coder options matter only when compressing.
TEST_F(OptionsTest, ConflictsAreNotCheckedWhenExtracting) {
    EXPECT_TRUE(parse({"-e", "f", "-r", "--norle0"}));
    resetSettings();
    EXPECT_TRUE(parse({"-e", "f", "-a", "-s"}));
    resetSettings();
    EXPECT_TRUE(parse({"-e", "f", "-m", "--mtf1", "-d"}));
}

// ------------------------------------------------------- diagnostic files

struct FileOptionCase {
    const char* option;
    std::string expected;
    std::string openFailure;
    bool Settings::*flag;
    Settings::DumpKind kind;
};

class FileOptionTest : public OptionsTest, public ::testing::WithParamInterface<FileOptionCase> {};

TEST_P(FileOptionTest, MissingValue) {
    EXPECT_EQ(parseError({"-c", "f", GetParam().option}), GetParam().expected);
}

TEST_P(FileOptionTest, UnopenableFileNamesTheFile) {
    testdata::TempDir dir;
    const std::string path = dir.file("missing-folder/out.txt");
    EXPECT_EQ(parseError({"-c", "f", GetParam().option, path}), GetParam().openFailure + path);
}

// The parser only checks that the file can be written: an existing file
// keeps its bytes (a mistyped command line must not empty a file that
// matters), a missing one is created empty; the compression writes it.
TEST_P(FileOptionTest, ChecksTheFileWithoutTruncatingIt) {
    testdata::TempDir dir;
    const std::string kept = dir.file("kept.txt");
    const std::string made = dir.file("made.txt");
    {
        std::ofstream old(kept);
        old << "old contents";
    }
    for (const std::string& path : {kept, made}) {
        resetSettings();
        EXPECT_TRUE(parse({GetParam().option, path, "-c", "f"}));
        EXPECT_TRUE(settings().*GetParam().flag);
        ASSERT_EQ(settings().diagnosticFiles.size(), 1u);
        EXPECT_EQ(settings().diagnosticFiles[0].name, path);
        EXPECT_EQ(settings().diagnosticFiles[0].kind, GetParam().kind);
        EXPECT_EQ(settings().diagnosticFiles[0].openFailure, GetParam().openFailure);
    }
    EXPECT_EQ(fileSize(kept), 12u);
    EXPECT_TRUE(fileExists(made));
    EXPECT_EQ(fileSize(made), 0u);
}

TEST_P(FileOptionTest, FileOpenedBeforeAUsageErrorStays) {
    testdata::TempDir dir;
    const std::string path = dir.file("kept.txt");
    EXPECT_EQ(parseError({GetParam().option, path, "-c"}), noInput);
    EXPECT_TRUE(fileExists(path));
}

INSTANTIATE_TEST_SUITE_P(
    Parser, FileOptionTest,
    ::testing::Values(
        FileOptionCase{"--bwt_output", "Filename expected after --bwt_output parameter",
                       "Unable to open BWT output file: ", &Settings::bwtOutput,
                       Settings::DumpKind::Bwt},
        FileOptionCase{"--mtf_output", "Filename expected after --mtf_output parameter",
                       "Unable to open MTF output file: ", &Settings::mtfOutput,
                       Settings::DumpKind::Mtf},
        FileOptionCase{"--rle0_output", "Filename expected after --rle0_output parameter",
                       "Unable to open RLE0 output file: ", &Settings::rle0Output,
                       Settings::DumpKind::Rle0},
        FileOptionCase{"--dc_output", "Filename expected after --dc_output parameter",
                       "Unable to open RLE0 output file: ", &Settings::dcOutput, Settings::DumpKind::Dc},
        FileOptionCase{"--input_histogram", "Filename expected after --input_histogram parameter",
                       "Unable to open output histogram file: ", &Settings::inputHistogram,
                       Settings::DumpKind::InputHistogram},
        FileOptionCase{"--mtf_histogram", "Filename expected after --mtf_histogram parameter",
                       "Unable to open output histogram file: ", &Settings::mtfHistogram,
                       Settings::DumpKind::MtfHistogram},
        FileOptionCase{"--rle0_histogram", "Filename expected after --rle0_histogram parameter",
                       "Unable to open output histogram file: ", &Settings::rle0Histogram,
                       Settings::DumpKind::Rle0Histogram},
        FileOptionCase{"--dc_histogram", "Filename expected after --dc_histogram parameter",
                       "Unable to open output histogram file: ", &Settings::dcHistogram,
                       Settings::DumpKind::DcHistogram},
        FileOptionCase{"--suffix_array_output",
                       "Filename expected after --suffix_array_output parameter",
                       "Unable to open output suffix array file: ", &Settings::suffixArrayOutput,
                       Settings::DumpKind::SuffixArray},
        FileOptionCase{"--suffixes_output", "Filename expected after --suffixes_output parameter",
                       "Unable to open output suffixes file: ", &Settings::suffixesOutput,
                       Settings::DumpKind::Suffixes}),
    [](const ::testing::TestParamInfo<FileOptionCase>& info) {
        std::string name;
        for (const char* p = info.param.option; *p; ++p)
            if (*p != '-' && *p != '_') name += *p;
        return name;
    });

TEST_F(OptionsTest, LaterFileErrorKeepsEarlierFiles) {
    testdata::TempDir dir;
    const std::string first = dir.file("bwt.txt");
    const std::string bad = dir.file("nowhere/mtf.txt");
    EXPECT_EQ(parseError({"--bwt_output", first, "--mtf_output", bad, "-c", "f"}),
              "Unable to open MTF output file: " + bad);
    EXPECT_TRUE(fileExists(first));
}

TEST_F(OptionsTest, RepeatedFileOptionWritesToTheLastFile) {
    testdata::TempDir dir;
    const std::string first = dir.file("a.txt");
    const std::string second = dir.file("b.txt");
    EXPECT_TRUE(parse({"-c", "f", "--bwt_output", first, "--bwt_output", second}));
    ASSERT_EQ(settings().diagnosticFiles.size(), 1u);
    EXPECT_EQ(settings().diagnosticFiles[0].name, second);
}

TEST_F(OptionsTest, SuffixArrayWithoutSuffixesIsAccepted) {
    testdata::TempDir dir;
    EXPECT_TRUE(parse({"--suffix_array_output", dir.file("sa.txt"), "-c", "f"}));
    EXPECT_TRUE(settings().suffixArrayOutput);
    EXPECT_FALSE(settings().suffixesOutput);
}

// ----------------------------------------------------------------- defaults

TEST_F(OptionsTest, CompressDefaultsToDcAdaptive) {
    EXPECT_TRUE(parse({"-c", "F"}));
    const Settings& s = settings();
    EXPECT_TRUE(s.compress);
    EXPECT_FALSE(s.extract);
    EXPECT_TRUE(s.dc);
    EXPECT_TRUE(s.rle0);
    EXPECT_TRUE(s.adaptiveCoder);
    EXPECT_FALSE(s.staticCoder);
    EXPECT_FALSE(s.mtf0);
    EXPECT_FALSE(s.mtf1);
    EXPECT_FALSE(s.noRle0);
    EXPECT_FALSE(s.test);
    EXPECT_FALSE(s.verbose);
    EXPECT_FALSE(s.dcPrefixCode);
    EXPECT_EQ(s.inputFileName, "F");
    EXPECT_EQ(s.outputFileName, "F.morvQ17p");
    EXPECT_EQ(s.blockSize, 0u);
    EXPECT_EQ(s.suffixesOutputMaxSize, 4294967295u);
    EXPECT_EQ(printed, "");
}

TEST_F(OptionsTest, ExtractAppendsUnpackedSuffix) {
    EXPECT_TRUE(parse({"-e", "F.morvQ17p"}));
    EXPECT_TRUE(settings().extract);
    EXPECT_EQ(settings().outputFileName, "F.morvQ17p.morvQ17u");
    EXPECT_EQ(printed, "");
}

TEST_F(OptionsTest, ExplicitOutputNameIsKept) {
    EXPECT_TRUE(parse({"-c", "F", "-o", "packed"}));
    EXPECT_EQ(settings().outputFileName, "packed");
    resetSettings();
    EXPECT_TRUE(parse({"-e", "packed", "-o", "F2"}));
    EXPECT_EQ(settings().outputFileName, "F2");
}

TEST_F(OptionsTest, MtfDefaultsToRle0) {
    EXPECT_TRUE(parse({"-c", "-m", "F"}));
    EXPECT_TRUE(settings().mtf0);
    EXPECT_TRUE(settings().rle0);
    EXPECT_FALSE(settings().dc);
    EXPECT_TRUE(settings().adaptiveCoder);
}

TEST_F(OptionsTest, MtfWithNoRle0) {
    EXPECT_TRUE(parse({"-c", "-m", "--norle0", "F"}));
    EXPECT_TRUE(settings().mtf0);
    EXPECT_FALSE(settings().rle0);
    EXPECT_TRUE(settings().noRle0);
    EXPECT_FALSE(settings().dc);
}

TEST_F(OptionsTest, StaticCoderIsKeptForMtf) {
    EXPECT_TRUE(parse({"-c", "--mtf0", "-s", "F"}));
    EXPECT_TRUE(settings().staticCoder);
    EXPECT_FALSE(settings().adaptiveCoder);
}

TEST_F(OptionsTest, DcWithNoRle0LeavesRle0Off) {
    EXPECT_TRUE(parse({"-c", "--dc", "--norle0", "F"}));
    EXPECT_EQ(printed,
              "WARNING: no RLE0 compression flag (--norle0) ignored when coding with DC coder.\n");
    EXPECT_TRUE(settings().dc);
    EXPECT_FALSE(settings().rle0);
}

TEST_F(OptionsTest, Mtf1PassesTheParser) {
    EXPECT_TRUE(parse({"-c", "--mtf1", "F"}));
    EXPECT_TRUE(settings().mtf1);
    EXPECT_FALSE(settings().dc);
    EXPECT_TRUE(settings().rle0);
}

TEST_F(OptionsTest, EveryFlagSpelling) {
    EXPECT_TRUE(
        parse({"-c", "F", "-v", "-p", "--test", "T", "-b", "100", "--suffixes_output_max_size", "7"}));
    const Settings& s = settings();
    EXPECT_TRUE(s.verbose);
    EXPECT_TRUE(s.dcPrefixCode);
    EXPECT_TRUE(s.test);
    EXPECT_EQ(s.testFileName, "T");
    EXPECT_EQ(s.blockSize, 100u);
    EXPECT_EQ(s.suffixesOutputMaxSize, 7u);
    resetSettings();
    EXPECT_TRUE(parse({"-c", "F", "--verbose", "--rle0", "--mtf0"}));
    EXPECT_TRUE(settings().verbose);
    EXPECT_TRUE(settings().rle0);
    EXPECT_TRUE(settings().mtf0);
}

TEST_F(OptionsTest, OptionOrderDoesNotMatter) {
    const std::vector<std::vector<std::string>> orders = {
        {"-o", "out", "-c", "F", "-m"},
        {"-c", "F", "-m", "-o", "out"},
        {"F", "-m", "-o", "out", "-c"},
    };
    for (const auto& args : orders) {
        resetSettings();
        EXPECT_TRUE(parse(args));
        const Settings& s = settings();
        EXPECT_TRUE(s.compress);
        EXPECT_TRUE(s.mtf0);
        EXPECT_TRUE(s.rle0);
        EXPECT_FALSE(s.dc);
        EXPECT_EQ(s.inputFileName, "F");
        EXPECT_EQ(s.outputFileName, "out");
    }
}

TEST_F(OptionsTest, UnknownDashArgumentIsTheInputName) {
    EXPECT_TRUE(parse({"-c", "-x"}));
    EXPECT_EQ(settings().inputFileName, "-x");
    EXPECT_EQ(settings().outputFileName, "-x.morvQ17p");
}

TEST_F(OptionsTest, OptionsAreCaseSensitive) {
    EXPECT_TRUE(parse({"-c", "-M"}));
    EXPECT_EQ(settings().inputFileName, "-M");
    EXPECT_FALSE(settings().mtf0);
}

TEST_F(OptionsTest, ValueIsTakenEvenIfItLooksLikeAnOption) {
    EXPECT_TRUE(parse({"-c", "-o", "-m", "F"}));
    EXPECT_EQ(settings().outputFileName, "-m");
    EXPECT_FALSE(settings().mtf0);
    EXPECT_TRUE(settings().dc);
    resetSettings();
    EXPECT_TRUE(parse({"-e", "F", "-b", "-e", "--test", "-c"}));
    EXPECT_EQ(settings().blockSize, 0u);
    EXPECT_EQ(settings().testFileName, "-c");
    EXPECT_FALSE(settings().compress);
}

TEST_F(OptionsTest, BlockSizeIsReadLikeAtoi) {
    EXPECT_TRUE(parse({"-c", "F", "-b", "abc"}));
    EXPECT_EQ(settings().blockSize, 0u);
    resetSettings();
    EXPECT_TRUE(parse({"-c", "F", "-b", "  -5"}));
    EXPECT_EQ(settings().blockSize, 4294967291u);
    resetSettings();
    EXPECT_TRUE(parse({"-c", "F", "--suffixes_output_max_size", "12kb"}));
    EXPECT_EQ(settings().suffixesOutputMaxSize, 12u);
}

// --------------------------------------------------------------- numbers

struct NumberCase {
    const char* text;
    uint32_t value;
};

class NumberTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberTest, ReadsLikeAtoiModulo2To32) {
    EXPECT_EQ(parseNumber(GetParam().text), GetParam().value) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Parser, NumberTest,
    ::testing::Values(NumberCase{"", 0u}, NumberCase{"0", 0u}, NumberCase{"10000", 10000u},
                      NumberCase{"abc", 0u}, NumberCase{"  -5", 4294967291u}, NumberCase{"+42", 42u},
                      NumberCase{"-0", 0u}, NumberCase{" \t\n\v\f\r9", 9u}, NumberCase{"12abc", 12u},
                      NumberCase{"1 2", 1u}, NumberCase{"- 5", 0u}, NumberCase{"+-5", 0u},
                      NumberCase{"--5", 0u}, NumberCase{"0x1A", 0u}, NumberCase{"007", 7u},
                      NumberCase{"4294967295", 4294967295u}, NumberCase{"4294967296", 0u},
                      NumberCase{"-2147483648", 2147483648u}, NumberCase{"-4294967295", 1u},
                      // 10^20 mod 2^32
                      NumberCase{"100000000000000000000", 1661992960u}, NumberCase{"x5", 0u},
                      NumberCase{"5\xff", 5u}));

// ---------------------------------------------------------------- warnings

TEST_F(OptionsTest, DcCompressionWarningsLeaveFlagsAsTheyAre) {
    EXPECT_TRUE(parse({"-c", "-d", "-r", "-s", "F"}));
    EXPECT_EQ(printed,
              "WARNING: RLE0 compression flag (-r, --rle0) ignored when coding with DC coder.\n"
              "WARNING: static arithmetic coder is not unsupported when using DC coder.\n");
    const Settings& s = settings();
    EXPECT_TRUE(s.dc);
    EXPECT_TRUE(s.rle0);
    EXPECT_TRUE(s.staticCoder);
    EXPECT_FALSE(s.adaptiveCoder);
}

TEST_F(OptionsTest, DcCompressionWarningsWithNoRle0AndStatic) {
    EXPECT_TRUE(parse({"-s", "--norle0", "--dc", "-c", "F"}));
    EXPECT_EQ(printed,
              "WARNING: no RLE0 compression flag (--norle0) ignored when coding with DC coder.\n"
              "WARNING: static arithmetic coder is not unsupported when using DC coder.\n");
}

TEST_F(OptionsTest, NoDcWarningsWithoutExplicitDc) {
    EXPECT_TRUE(parse({"-c", "-r", "-s", "F"}));
    EXPECT_EQ(printed, "");
    EXPECT_TRUE(settings().dc);
}

TEST_F(OptionsTest, ExtractionWarningsForMtfAdaptiveAndBwtDump) {
    testdata::TempDir dir;
    const std::string dump = dir.file("X");
    EXPECT_TRUE(parse({"-e", "F", "-m", "-a", "--bwt_output", dump}));
    EXPECT_EQ(printed,
              "WARNING: MTF0 compression flag (-m, --mtf0) ignored when decompressing.\n"
              "WARNING: adaptive arithmetic coder flag (-a) ignored when decompressing.\n"
              "WARNING: flag (--bwt_output) ignored when decompressing.\n");
    EXPECT_TRUE(fileExists(dump));
    EXPECT_EQ(fileSize(dump), 0u);
}

TEST_F(OptionsTest, ExtractionWarningsComeInFixedOrder) {
    testdata::TempDir dir;
    // Given in reverse order of the warnings, mixed with options that draw none.
    EXPECT_TRUE(parse({"--rle0_histogram",
                       dir.file("1"),
                       "--dc_histogram",
                       dir.file("2"),
                       "--mtf_histogram",
                       dir.file("3"),
                       "--input_histogram",
                       dir.file("4"),
                       "--suffixes_output",
                       dir.file("5"),
                       "--rle0_output",
                       dir.file("6"),
                       "--dc_output",
                       dir.file("7"),
                       "--mtf_output",
                       dir.file("8"),
                       "--suffix_array_output",
                       dir.file("9"),
                       "--bwt_output",
                       dir.file("10"),
                       "-s",
                       "-a",
                       "--norle0",
                       "-r",
                       "-d",
                       "--mtf1",
                       "-m",
                       "-p",
                       "-v",
                       "-b",
                       "9",
                       "--test",
                       dir.file("t"),
                       "--suffixes_output_max_size",
                       "3",
                       "-e",
                       "F"}));
    EXPECT_EQ(printed,
              "WARNING: MTF0 compression flag (-m, --mtf0) ignored when decompressing.\n"
              "WARNING: MTF1 compression flag (--mtf1) ignored when decompressing.\n"
              "WARNING: DC compression flag (-d, --dc) ignored when decompressing.\n"
              "WARNING: RLE0 compression flag (-r, --rle0) ignored when decompressing.\n"
              "WARNING: no RLE0 compression flag (--norle0) ignored when decompressing.\n"
              "WARNING: adaptive arithmetic coder flag (-a) ignored when decompressing.\n"
              "WARNING: static arithmetic coder flag (-a) ignored when decompressing.\n"
              "WARNING: flag (--bwt_output) ignored when decompressing.\n"
              "WARNING: flag (--mtf_output) ignored when decompressing.\n"
              "WARNING: flag (--rle0_output) ignored when decompressing.\n"
              "WARNING: flag (--input_histogram) ignored when decompressing.\n"
              "WARNING: flag (--mtf_histogram) ignored when decompressing.\n"
              "WARNING: flag (--rle0_histogram) ignored when decompressing.\n");
    for (const char* name : {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}) {
        EXPECT_TRUE(fileExists(dir.file(name))) << name;
    }
    EXPECT_EQ(settings().outputFileName, "F.morvQ17u");
}

}  // namespace
