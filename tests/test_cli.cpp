// Whole-program tests: the built executable ($MORV_EXE) is run with a command
// line and its standard output, standard error and exit status are compared
// whole with the expected ones. The helpers at the top (runMorv, the timing
// mask, the help text) are meant for every command-line case.
#include "app/RunSequence.h"
#include "app/Settings.h"
#include "base/Exception.h"
#include "tests/support/DataGen.h"
#include "tests/support/ExpectedHelp.h"
#include "tests/support/RunProgram.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

const char* const helpText = testdata::expectedHelp;

using testdata::exePath;
using testdata::readText;
using testdata::runMorv;
using testdata::RunResult;

// Replaces the elapsed time of the timing lines, the one thing that differs
// between runs, by "<T>".
std::string maskTimes(const std::string& text) {
    static const std::string labels[] = {"Compression time: ", "Decompression time: "};
    std::istringstream lines(text);
    std::string masked;
    std::string line;
    while (std::getline(lines, line)) {
        for (const std::string& label : labels) {
            if (line.compare(0, label.size(), label) == 0) {
                line = label + "<T>";
            }
        }
        masked += line + "\n";
    }
    // A last line without its line end keeps it missing.
    if (!text.empty() && text.back() != '\n') {
        masked.pop_back();
    }
    return masked;
}

// Names of the entries of a folder.
std::set<std::string> listFolder(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(exePath().empty()) << "MORV_EXE is not set"; }

    // Runs in the test's folder, with the timing lines masked.
    RunResult run(const std::vector<std::string>& args) {
        RunResult result = runMorv(args, work.path());
        result.out = maskTimes(result.out);
        return result;
    }

    void writeFile(const std::string& name, const testdata::Bytes& data) {
        testdata::writeFile(work.file(name), data);
    }

    testdata::TempDir work;
};

TEST_F(CliTest, NoArgumentsPrintsHelp) {
    EXPECT_EQ(run({}), (RunResult{helpText, "", 0}));
    EXPECT_TRUE(listFolder(work.path()).empty());
}

TEST_F(CliTest, HelpAloneEndsTheRun) {
    EXPECT_EQ(run({"-h"}), (RunResult{helpText, "", 0}));
    EXPECT_EQ(run({"--help", "in.txt"}), (RunResult{helpText, "", 0}));
    EXPECT_TRUE(listFolder(work.path()).empty());
}

TEST_F(CliTest, HelpAloneStillCreatesNamedDiagnosticFiles) {
    EXPECT_EQ(run({"--bwt_output", "bwt.txt", "-h"}), (RunResult{helpText, "", 0}));
    EXPECT_EQ(listFolder(work.path()), (std::set<std::string>{"bwt.txt"}));
}

// A usage error: "ERROR: " and the message alone on standard error, exit
// status 255 (result -1), and no driver has run, so the only files in the
// folder are the input and the diagnostic files named before the error.
struct UsageCase {
    const char* name;
    std::vector<std::string> args;
    std::string message;
    std::set<std::string> created;  // files the parser opened before failing
};

class CliUsageErrorTest : public CliTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(CliUsageErrorTest, ReportsErrorAndRunsNoDriver) {
    writeFile("in.txt", testdata::textLike(1, 500));
    EXPECT_EQ(run(GetParam().args), (RunResult{"", "ERROR: " + GetParam().message + "\n", 255}));
    std::set<std::string> expected = GetParam().created;
    expected.insert("in.txt");
    EXPECT_EQ(listFolder(work.path()), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cli, CliUsageErrorTest,
    ::testing::Values(
        UsageCase{"BothModes",
                  {"-c", "-e", "in.txt"},
                  "Cannot do both compression (-c) and decompression (-e) at the same time!",
                  {}},
        UsageCase{
            "NoMode", {"in.txt"}, "You must either choose to compress (-c) or to extract (-e)!", {}},
        UsageCase{"NoInputName", {"-c"}, "Input filename missing!", {}},
        UsageCase{"NoInputNameKeepsDump", {"--bwt_output", "X", "-c"}, "Input filename missing!", {"X"}},
        UsageCase{"Rle0AndNoRle0",
                  {"-c", "in.txt", "-r", "--norle0"},
                  "Cannot both use (-r,--rle0) and not use (--norle0) RLE0 coding at the same "
                  "time!",
                  {}},
        UsageCase{"AdaptiveAndStatic",
                  {"-c", "-a", "-s", "in.txt"},
                  "Cannot use adaptive (-a) and static (-s) arithmetic coding at he same time!",
                  {}},
        UsageCase{"TwoMethods",
                  {"-c", "-m", "--dc", "in.txt", "--dc_histogram", "h.txt"},
                  "Cannot use MTF0 (-m, --mtf0), MTF1 (--mtf1) or DC (-d, --dc) coding at he "
                  "same time! Chose only one of the above.",
                  {"h.txt"}},
        UsageCase{"SecondName", {"-c", "in.txt", "other.txt"}, "Invalid parameter: other.txt", {}},
        UsageCase{"OutputLast", {"-c", "in.txt", "-o"}, "Filename expected after -o parameter", {}},
        UsageCase{
            "TestLast", {"-c", "in.txt", "--test"}, "Filename expected after --test parameter", {}},
        UsageCase{"BlockSizeLast",
                  {"-c", "in.txt", "-b"},
                  "Number (block size) expected after -b parameter",
                  {}},
        UsageCase{"MaxSizeLast",
                  {"-c", "in.txt", "--suffixes_output_max_size"},
                  "Number (max suffix size) expected after -suffixes_output_max_size parameter",
                  {}},
        UsageCase{"BwtOutputLast",
                  {"-c", "in.txt", "--bwt_output"},
                  "Filename expected after --bwt_output parameter",
                  {}},
        UsageCase{"MtfOutputLast",
                  {"-c", "in.txt", "--mtf_output"},
                  "Filename expected after --mtf_output parameter",
                  {}},
        UsageCase{"Rle0OutputLast",
                  {"-c", "in.txt", "--rle0_output"},
                  "Filename expected after --rle0_output parameter",
                  {}},
        UsageCase{"DcOutputLast",
                  {"-c", "in.txt", "--dc_output"},
                  "Filename expected after --dc_output parameter",
                  {}},
        UsageCase{"InputHistogramLast",
                  {"-c", "in.txt", "--input_histogram"},
                  "Filename expected after --input_histogram parameter",
                  {}},
        UsageCase{"MtfHistogramLast",
                  {"-c", "in.txt", "--mtf_histogram"},
                  "Filename expected after --mtf_histogram parameter",
                  {}},
        UsageCase{"Rle0HistogramLast",
                  {"-c", "in.txt", "--rle0_histogram"},
                  "Filename expected after --rle0_histogram parameter",
                  {}},
        UsageCase{"DcHistogramLast",
                  {"-c", "in.txt", "--dc_histogram"},
                  "Filename expected after --dc_histogram parameter",
                  {}},
        UsageCase{"SuffixArrayLast",
                  {"-c", "in.txt", "--suffix_array_output"},
                  "Filename expected after --suffix_array_output parameter",
                  {}},
        UsageCase{"SuffixesLast",
                  {"-c", "in.txt", "--suffixes_output"},
                  "Filename expected after --suffixes_output parameter",
                  {}},
        UsageCase{"BwtOutputUnopenable",
                  {"-c", "in.txt", "--bwt_output", "none/x"},
                  "Unable to open BWT output file: none/x",
                  {}},
        UsageCase{"MtfOutputUnopenable",
                  {"-c", "in.txt", "--mtf_output", "none/x"},
                  "Unable to open MTF output file: none/x",
                  {}},
        UsageCase{"Rle0OutputUnopenable",
                  {"-c", "in.txt", "--rle0_output", "none/x"},
                  "Unable to open RLE0 output file: none/x",
                  {}},
        UsageCase{"DcOutputUnopenable",
                  {"-c", "in.txt", "--dc_output", "none/x"},
                  "Unable to open RLE0 output file: none/x",
                  {}},
        UsageCase{"InputHistogramUnopenable",
                  {"-c", "in.txt", "--input_histogram", "none/x"},
                  "Unable to open output histogram file: none/x",
                  {}},
        UsageCase{"MtfHistogramUnopenable",
                  {"-c", "in.txt", "--mtf_histogram", "none/x"},
                  "Unable to open output histogram file: none/x",
                  {}},
        UsageCase{"Rle0HistogramUnopenable",
                  {"-c", "in.txt", "--rle0_histogram", "none/x"},
                  "Unable to open output histogram file: none/x",
                  {}},
        UsageCase{"DcHistogramUnopenable",
                  {"-c", "in.txt", "--dc_histogram", "none/x"},
                  "Unable to open output histogram file: none/x",
                  {}},
        UsageCase{"SuffixArrayUnopenable",
                  {"-c", "in.txt", "--suffix_array_output", "none/x"},
                  "Unable to open output suffix array file: none/x",
                  {}},
        UsageCase{"SuffixesUnopenable",
                  {"--mtf_output", "m.txt", "-c", "in.txt", "--suffixes_output", "none/x"},
                  "Unable to open output suffixes file: none/x",
                  {"m.txt"}}),
    [](const ::testing::TestParamInfo<UsageCase>& info) { return info.param.name; });

// ----------------------------------------------------- runs through drivers

// A packed file with no blocks: the file header alone, unpacked size 0.
const testdata::Bytes emptyPackedFile = {'M', 'O', 'R', 'V', '_', 'Q', '1', '7', 0, 0, 0, 0};

TEST_F(CliTest, SuccessfulRunEndsWithEnd) {
    writeFile("empty.morvQ17p", emptyPackedFile);
    EXPECT_EQ(run({"-e", "empty.morvQ17p"}), (RunResult{"Decompression time: <T>\nEnd.\n", "", 0}));
    EXPECT_EQ(run({"-e", "empty.morvQ17p", "-o", "copy"}),
              (RunResult{"Decompression time: <T>\nEnd.\n", "", 0}));
    EXPECT_EQ(fs::file_size(work.file("copy")), 0u);
    EXPECT_EQ(fs::file_size(work.file("empty.morvQ17p.morvQ17u")), 0u);
}

TEST_F(CliTest, ExtractionWarningsPrecedeTheRun) {
    writeFile("empty.morvQ17p", emptyPackedFile);
    const RunResult result = run({"-e", "empty.morvQ17p", "-m", "-a", "--bwt_output", "X"});
    EXPECT_EQ(result,
              (RunResult{"WARNING: MTF0 compression flag (-m, --mtf0) ignored when decompressing.\n"
                         "WARNING: adaptive arithmetic coder flag (-a) ignored when "
                         "decompressing.\n"
                         "WARNING: flag (--bwt_output) ignored when decompressing.\n"
                         "Decompression time: <T>\n"
                         "End.\n",
                         "", 0}));
    EXPECT_EQ(fs::file_size(work.file("X")), 0u);
}

TEST_F(CliTest, DriverErrorEndsWithoutEnd) {
    EXPECT_EQ(run({"-e", "missing.morvQ17p"}),
              (RunResult{"", "ERROR: Unable to open input file: missing.morvQ17p\n", 255}));
}

TEST_F(CliTest, WarningsStayBeforeADriverError) {
    EXPECT_EQ(run({"-e", "missing", "--norle0"}),
              (RunResult{"WARNING: no RLE0 compression flag (--norle0) ignored when "
                         "decompressing.\n",
                         "ERROR: Unable to open input file: missing\n", 255}));
}

// The packed-file report and the timing lines come from the drivers; the run
// sequence adds the empty line, the test lines and "End.". The summary line is
// rebuilt here from the packed file's real size.
std::string summaryLine(std::uintmax_t inputSize, std::uintmax_t packedSize) {
    std::ostringstream line;
    line.precision(3);
    const double s = static_cast<double>(inputSize);
    const double t = static_cast<double>(packedSize);
    line << "Compressed data size: " << packedSize << " (" << (s - t) * 100 / s << "%, " << t * 8 / s
         << " bpc)\n";
    return line.str();
}

TEST_F(CliTest, RoundTripTestPassing) {
    const testdata::Bytes input = testdata::textLike(7, 5000);
    writeFile("in.txt", input);
    const RunResult result = run({"-c", "in.txt", "--test", "copy.txt"});
    const std::uintmax_t packed = fs::file_size(work.file("in.txt.morvQ17p"));
    EXPECT_EQ(result, (RunResult{summaryLine(input.size(), packed) + "Compression time: <T>\n"
                                                                     "\n"
                                                                     "Testing packed file correctness.\n"
                                                                     "\n"
                                                                     "Decompression time: <T>\n"
                                                                     "\n"
                                                                     "OK, Files are equal.\n"
                                                                     "End.\n",
                                 "", 0}));
    EXPECT_EQ(testdata::readFile(work.file("copy.txt")), input);
}

// The packed file goes out strictly in order, so outputs that cannot seek
// work: a named pipe receives the bytes a file would, and /dev/null takes
// them whole.
TEST_F(CliTest, CompressesIntoAPipeAndANullDevice) {
    writeFile("in.txt", testdata::mixedBlock(9, 5000));
    const std::string fifo = work.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::vector<std::string>& method :
         {std::vector<std::string>{}, std::vector<std::string>{"-m", "-s"}}) {
        std::vector<std::string> args = {"-c", "in.txt", "-b", "2000"};
        args.insert(args.end(), method.begin(), method.end());
        args.insert(args.end(), {"-o", "in.p"});
        ASSERT_EQ(run(args).status, 0);
        const std::string packed = readText(work.file("in.p"));

        std::string received;
        std::thread reader([&] { received = readText(fifo); });
        args.back() = "pipe";
        const RunResult viaPipe = run(args);
        // Should the program not have opened the pipe, let the reader go.
        const int unblock = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (unblock >= 0) close(unblock);
        reader.join();
        EXPECT_EQ(viaPipe.status, 0) << viaPipe;
        EXPECT_EQ(received, packed);

        args.back() = "/dev/null";
        const RunResult viaNull = run(args);
        EXPECT_EQ(viaNull.status, 0) << viaNull;
        EXPECT_NE(viaNull.out.find(summaryLine(5000, packed.size())), std::string::npos) << viaNull;
    }
}

// The packed file takes the input's permission bits and modification time;
// the extracted file and the test file take the packed file's.
TEST_F(CliTest, ModeAndTimeAreKept) {
    writeFile("in.txt", testdata::textLike(10, 3000));
    const fs::perms inputMode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    const fs::file_time_type inputTime =
        fs::last_write_time(work.file("in.txt")) - std::chrono::hours(30);
    fs::permissions(work.file("in.txt"), inputMode);
    fs::last_write_time(work.file("in.txt"), inputTime);

    ASSERT_EQ(run({"-c", "in.txt", "--test", "check.txt"}).status, 0);
    for (const char* name : {"in.txt.morvQ17p", "check.txt"}) {
        EXPECT_EQ(fs::status(work.file(name)).permissions(), inputMode) << name;
        EXPECT_EQ(fs::last_write_time(work.file(name)), inputTime) << name;
    }

    const fs::perms packedMode = fs::perms::owner_read | fs::perms::others_read;
    const fs::file_time_type packedTime = inputTime - std::chrono::hours(100);
    fs::permissions(work.file("in.txt.morvQ17p"), packedMode);
    fs::last_write_time(work.file("in.txt.morvQ17p"), packedTime);
    ASSERT_EQ(run({"-e", "in.txt.morvQ17p", "-o", "out.txt"}).status, 0);
    EXPECT_EQ(fs::status(work.file("out.txt")).permissions(), packedMode);
    EXPECT_EQ(fs::last_write_time(work.file("out.txt")), packedTime);
}

// A diagnostic file that cannot be written ends the run as an error naming
// it, not with "End." and status 0.
TEST_F(CliTest, UnwritableDiagnosticFileIsAnError) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    writeFile("in.txt", testdata::textLike(11, 3000));
    const std::vector<std::vector<std::string>> runs = {
        {"-c", "in.txt", "--bwt_output", "/dev/full"},
        {"-c", "in.txt", "-m", "--mtf_histogram", "/dev/full"},
        {"-c", "in.txt", "-m", "-s", "-b", "1000", "--rle0_output", "/dev/full"},
        {"-c", "in.txt", "--input_histogram", "ok.txt", "--suffix_array_output", "/dev/full"},
    };
    for (const std::vector<std::string>& args : runs) {
        const RunResult r = run(args);
        EXPECT_EQ(r.status, 255) << r;
        EXPECT_EQ(r.err, "ERROR: Unable to write output file: /dev/full\n") << r;
        EXPECT_EQ(r.out.find("End."), std::string::npos) << r;
    }
}

// ------------------------------------------ nothing a user has is lost

// Every file of a folder with its bytes.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(dir)) {
        files[entry.path().filename().string()] = readText(entry.path());
    }
    return files;
}

// Runs a shell command line in `dir`; returns its exit status (-1 when it
// did not exit normally).
int shellIn(const fs::path& dir, const std::string& command) {
    const int raw = std::system(("cd '" + dir.string() + "' && " + command).c_str());
    return (raw != -1 && WIFEXITED(raw)) ? WEXITSTATUS(raw) : -1;
}

// `parts` generated pieces of `partSize` bytes from seeds seed, seed+1, ...:
// an input of several blocks of real-looking data.
testdata::Bytes largeInput(uint64_t seed, int parts, size_t partSize) {
    testdata::Bytes big;
    for (int i = 0; i < parts; ++i) {
        const testdata::Bytes part = testdata::mixedBlock(seed + static_cast<uint64_t>(i), partSize);
        big.insert(big.end(), part.begin(), part.end());
    }
    return big;
}

// A folder as a user has it: a book, its packed file, notes, an empty log,
// an old extraction and packed files cut inside their first and their third
// block of 20000 bytes.
class CliSafetyTest : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        book = testdata::textLike(21, 70000);
        writeFile("book.txt", book);
        writeFile("notes.txt", testdata::textLike(22, 300));
        writeFile("empty.log", {});
        writeFile("old.u", testdata::textLike(23, 100));
        ASSERT_EQ(run({"-c", "book.txt", "-b", "20000", "-o", "blocks.p"}).status, 0);
        ASSERT_EQ(run({"-c", "book.txt"}).status, 0);
        const std::string blocks = readText(work.file("blocks.p"));
        writeText("late.p", blocks.substr(0, blocks.size() - 100));
        writeText("first.p", blocks.substr(0, kFileHeaderBytes + kBlockHeaderBytes + 10));
        fs::remove(work.file("blocks.p"));
    }
    void writeText(const std::string& name, const std::string& text) {
        std::ofstream(work.file(name), std::ios::binary) << text;
    }
    static constexpr std::size_t kFileHeaderBytes = 12;
    static constexpr std::size_t kBlockHeaderBytes = 18;
    testdata::Bytes book;
};

// A run that fails changes no file that existed before it and leaves no new
// one; a run that succeeds changes only its outputs.
struct SafetyCase {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string error;              // standard error, after "ERROR: "; empty: none
    std::set<std::string> changed;  // files whose bytes may change
    std::set<std::string> created;  // files the run makes
};

class CliSafetyTableTest : public CliSafetyTest, public ::testing::WithParamInterface<SafetyCase> {};

TEST_P(CliSafetyTableTest, OnlyTheOutputsOfASuccessfulRunChange) {
    const SafetyCase& c = GetParam();
    const std::map<std::string, std::string> before = snapshot(work.path());
    const RunResult r = run(c.args);
    EXPECT_EQ(r.status, c.status) << r;
    EXPECT_EQ(r.err, c.error.empty() ? "" : "ERROR: " + c.error + "\n") << r;
    const std::map<std::string, std::string> after = snapshot(work.path());
    for (const auto& [name, bytes] : before) {
        if (c.changed.count(name) != 0) continue;
        ASSERT_TRUE(after.count(name) != 0) << name << " is gone";
        EXPECT_TRUE(after.at(name) == bytes) << name << " changed";
    }
    std::set<std::string> made;
    for (const auto& entry : after) {
        if (before.count(entry.first) == 0) made.insert(entry.first);
    }
    EXPECT_EQ(made, c.created);
}

INSTANTIATE_TEST_SUITE_P(
    Cli, CliSafetyTableTest,
    ::testing::Values(
        SafetyCase{"DumpNamingTheInputBeforeAUsageError",
                   {"-c", "--bwt_output", "book.txt"},
                   255,
                   "Input filename missing!",
                   {},
                   {}},
        SafetyCase{"DumpNamingThePackedFileWhenExtracting",
                   {"-e", "--input_histogram", "book.txt.morvQ17p"},
                   255,
                   "Input filename missing!",
                   {},
                   {}},
        SafetyCase{"IgnoredDumpNamingTheInput",
                   {"-e", "book.txt.morvQ17p", "-o", "x.u", "--bwt_output", "book.txt.morvQ17p"},
                   0,
                   "",
                   {},
                   {"x.u"}},
        SafetyCase{"HelpWithADump", {"-h", "--bwt_output", "notes.txt"}, 0, "", {}, {}},
        SafetyCase{"DumpNamedLikeANewOutput",
                   {"-c", "book.txt", "-o", "v.p", "-b", "10000", "--bwt_output", "v.p"},
                   255,
                   "Diagnostic file is the same as another file: v.p",
                   {},
                   {}},
        SafetyCase{"DumpNamedLikeAnOldOutput",
                   {"-c", "book.txt", "-o", "old.u", "--bwt_output", "./old.u"},
                   255,
                   "Diagnostic file is the same as another file: ./old.u",
                   {},
                   {}},
        SafetyCase{"DumpNamedLikeTheInput",
                   {"-c", "book.txt", "-m", "--mtf_output", "book.txt"},
                   255,
                   "Diagnostic file is the same as another file: book.txt",
                   {},
                   {}},
        SafetyCase{"DumpNamedLikeTheTestFile",
                   {"-c", "book.txt", "-o", "n.p", "--test", "t.u", "--input_histogram", "t.u"},
                   255,
                   "Diagnostic file is the same as another file: t.u",
                   {},
                   {}},
        SafetyCase{"TwoDumpsNamingOneFile",
                   {"-c", "book.txt", "-o", "n.p", "--bwt_output", "notes.txt", "--dc_histogram",
                    "./notes.txt"},
                   255,
                   "Diagnostic file is the same as another file: ./notes.txt",
                   {},
                   {}},
        SafetyCase{"EmptyInputOverAnOldOutput",
                   {"-c", "empty.log", "-o", "notes.txt"},
                   255,
                   "Cannot compress empty file (file size is 0)",
                   {},
                   {}},
        SafetyCase{"SwappedArguments",
                   {"-e", "book.txt", "-o", "book.txt.morvQ17p"},
                   255,
                   "Invalid file (header id does not match).",
                   {},
                   {}},
        SafetyCase{"Mtf1OverAnOldOutput",
                   {"-c", "book.txt", "--mtf1", "-o", "notes.txt"},
                   255,
                   "Unsupported compression method",
                   {},
                   {}},
        SafetyCase{"TestFileNamedLikeANewOutput",
                   {"-c", "book.txt", "-o", "v.p", "--test", "./v.p"},
                   255,
                   "Output file is the same as input file: ./v.p",
                   {},
                   {}},
        SafetyCase{"DeviceInputWithoutAName",
                   {"-e", "/dev/null"},
                   255,
                   "Output file name (-o) is required when the input is not a regular file: /dev/null",
                   {},
                   {}},
        SafetyCase{"DamagedFirstBlockIntoANewName",
                   {"-e", "first.p", "-o", "new.u"},
                   255,
                   "Invalid block (payload extends past end of file).",
                   {},
                   {}},
        SafetyCase{"DamagedLaterBlockIntoAnOldFile",
                   {"-e", "late.p", "-o", "old.u"},
                   255,
                   "Invalid block (payload extends past end of file).",
                   {},
                   {}},
        SafetyCase{"DamagedLaterBlockIntoANewName",
                   {"-e", "late.p", "-o", "new.u"},
                   255,
                   "Invalid block (payload extends past end of file).",
                   {},
                   {"new.u"}},
        SafetyCase{"SuccessReplacesItsOutputsOnly",
                   {"-c", "book.txt", "-o", "notes.txt", "--bwt_output", "old.u", "--test", "t.u"},
                   0,
                   "",
                   {"notes.txt", "old.u"},
                   {"t.u"}}),
    [](const ::testing::TestParamInfo<SafetyCase>& info) { return info.param.name; });

// The blocks before a damaged one are kept under a name that held nothing.
TEST_F(CliSafetyTest, PartialExtractionKeepsWholeBlocks) {
    ASSERT_EQ(run({"-e", "late.p", "-o", "new.u"}).status, 255);
    const testdata::Bytes kept = testdata::readFile(work.file("new.u"));
    ASSERT_EQ(kept.size(), 60000u);
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(), book.begin()));
}

// Data written to standard output's own file stay exact: the program's lines
// go to standard error then. /dev/null as output and as standard output
// changes nothing.
TEST_F(CliSafetyTest, LinesNeverMixIntoData) {
    const std::string packed = readText(work.file("book.txt.morvQ17p"));
    const std::string text(book.begin(), book.end());

    const RunResult extracted = run({"-e", "book.txt.morvQ17p", "-o", "/dev/stdout"});
    EXPECT_EQ(extracted.status, 0);
    EXPECT_TRUE(extracted.out == text);
    EXPECT_EQ(maskTimes(extracted.err), "Decompression time: <T>\nEnd.\n");

    const RunResult compressed = run({"-c", "book.txt", "-o", "/dev/stdout", "-v"});
    EXPECT_EQ(compressed.status, 0);
    EXPECT_TRUE(compressed.out == packed);
    EXPECT_NE(compressed.err.find("Opening input file: book.txt\n"), std::string::npos);

    EXPECT_EQ(shellIn(work.path(),
                      "'" + exePath() + "' -e book.txt.morvQ17p -o /dev/stdout 2>lines | cat > piped"),
              0);
    EXPECT_TRUE(readText(work.file("piped")) == text);
    EXPECT_EQ(maskTimes(readText(work.file("lines"))), "Decompression time: <T>\nEnd.\n");

    EXPECT_EQ(
        shellIn(work.path(), "'" + exePath() + "' -e book.txt.morvQ17p -o /dev/null >/dev/null 2>quiet"),
        0);
    EXPECT_EQ(readText(work.file("quiet")), "");
}

// Pipes as input, both ways: read to their end, with the output named.
TEST_F(CliSafetyTest, PipesAsInput) {
    const std::string exe = "'" + exePath() + "'";
    ASSERT_EQ(
        shellIn(work.path(), "cat book.txt | " + exe + " -c /dev/stdin -o p.p -b 30000 >/dev/null"), 0);
    EXPECT_TRUE(readText(work.file("p.p")) ==
                (run({"-c", "book.txt", "-o", "q.p", "-b", "30000"}), readText(work.file("q.p"))));
    ASSERT_EQ(shellIn(work.path(), "cat p.p | " + exe + " -e /dev/stdin -o p.u >/dev/null"), 0);
    EXPECT_TRUE(testdata::readFile(work.file("p.u")) == book);
    // The round-trip test compares with the copy of the pipe.
    EXPECT_EQ(
        shellIn(work.path(), "cat book.txt | " + exe + " -c /dev/stdin -o r.p --test r.u >out 2>&1"), 0);
    EXPECT_NE(readText(work.file("out")).find("OK, Files are equal."), std::string::npos);
    // An empty pipe is an empty file; no output and no copy are left.
    EXPECT_EQ(shellIn(work.path(), exe + " -c /dev/stdin -o e.p </dev/null >/dev/null 2>err"), 255);
    EXPECT_EQ(readText(work.file("err")), "ERROR: Cannot compress empty file (file size is 0)\n");
    EXPECT_FALSE(fs::exists(work.file("e.p")));
    for (const std::string& name : listFolder(work.path())) {
        EXPECT_EQ(name.find(".morvtmp"), std::string::npos) << name;
    }
}

// Ended by a signal half way, a run leaves the old output as it was and no
// file behind, and ends as that signal ends a process; with a private input
// no file readable by others appears at any moment.
TEST_F(CliSafetyTest, InterruptedRunsLeaveNothingBehind) {
    const testdata::Bytes big = largeInput(30, 40, 100000);
    writeFile("big.bin", big);
    fs::permissions(work.file("big.bin"), fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_EQ(run({"-c", "big.bin", "-o", "big.p", "-b", "500000"}).status, 0);
    writeFile("out", testdata::textLike(40, 100));
    const std::map<std::string, std::string> before = snapshot(work.path());

    const std::string exe = exePath();
    int interrupted = 0;
    const std::vector<std::vector<std::string>> runs = {{"-c", "big.bin", "-o", "out", "-b", "500000"},
                                                        {"-e", "big.p", "-o", "out"}};
    for (const std::vector<std::string>& args : runs) {
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
            const pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                if (chdir(work.path().c_str()) != 0) _exit(127);
                const int null = open("/dev/null", O_WRONLY);
                dup2(null, 1);
                std::vector<char*> argv = {const_cast<char*>(exe.c_str())};
                for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
                argv.push_back(nullptr);
                execv(argv[0], argv.data());
                _exit(127);
            }
            // Wait for the temporary file, watching every file's mode.
            bool sawTemp = false;
            for (int i = 0; i < 2000 && !sawTemp; ++i) {
                for (const auto& entry : fs::directory_iterator(work.path())) {
                    const std::string name = entry.path().filename().string();
                    std::error_code ec;
                    const fs::perms perms = fs::status(entry.path(), ec).permissions();
                    if (name.find(".morvtmp") != std::string::npos) {
                        sawTemp = true;
                        EXPECT_EQ(perms & (fs::perms::group_all | fs::perms::others_all),
                                  fs::perms::none)
                            << name;
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            EXPECT_TRUE(sawTemp);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            kill(child, sig);
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            // A run that finished before the signal came has replaced the
            // output legitimately; only a run the signal ended is judged.
            if (WIFEXITED(status)) {
                EXPECT_EQ(WEXITSTATUS(status), 0) << args[0] << " signal " << sig;
                continue;
            }
            ++interrupted;
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << args[0] << " " << sig;
            EXPECT_EQ(snapshot(work.path()), before) << args[0] << " signal " << sig;
        }
    }
    EXPECT_GT(interrupted, 0);
}

// On a terminal a run of more than a second shows one line on standard
// error, redrawn in place, with the share done; the printed lines stay whole.
// Without a terminal nothing of it appears (every other test runs so). The
// run is stopped for a while early on, so that it lasts past the second
// however fast the machine codes.
TEST_F(CliSafetyTest, ProgressLineOnATerminal) {
    if (std::system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "no script(1)";
    if (std::system("command -v pkill >/dev/null 2>&1") != 0) GTEST_SKIP() << "no pkill(1)";
    const testdata::Bytes big = largeInput(80, 30, 1000000);
    writeFile("big.bin", big);
    const std::string exe = "'" + exePath() + "'";
    // The program's own command line, not script's, which holds it quoted.
    // script(1) stops itself when its child stops, so it is continued too.
    const std::string own = "'^" + exePath() + " -c big.bin -o big.p '";
    ASSERT_EQ(shellIn(work.path(), "script -qec \"" + exe +
                                       " -c big.bin -o big.p -b 1000000\" typescript </dev/null "
                                       ">/dev/null & run=$!; sleep 0.2; pkill -STOP -f " +
                                       own + "; sleep 1.2; pkill -CONT -f " + own +
                                       "; kill -CONT $run; wait $run"),
              0);
    const std::string screen = readText(work.file("typescript"));
    EXPECT_NE(screen.find("% "), std::string::npos) << screen;
    EXPECT_NE(screen.find(" left"), std::string::npos);
    // The closing lines come after the line was cleared, each whole.
    EXPECT_NE(screen.find("\rCompressed data size: "), std::string::npos);
    EXPECT_NE(screen.find("\nCompression time: "), std::string::npos);

    const RunResult plain = run({"-c", "big.bin", "-o", "big2.p", "-b", "1000000"});
    EXPECT_EQ(plain.err, "");
    EXPECT_EQ(plain.out.find('\r'), std::string::npos);
}

// Under an address-space limit (`ulimit -v`) a run that fits on one
// processor fits on all of them: the threads' stacks and allocator arenas are
// counted. (Sanitizer builds reserve terabytes of shadow memory; skipped.)
TEST_F(CliSafetyTest, AddressSpaceLimitIsRespected) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers cannot run under an address-space limit";
#else
    const testdata::Bytes big = largeInput(60, 40, 1000000);
    writeFile("b40.bin", big);
    const std::string exe = "'" + exePath() + "'";
    EXPECT_EQ(shellIn(work.path(), "ulimit -v 200000 && " + exe + " -c b40.bin -o b40.p >/dev/null && " +
                                       exe + " -e b40.p -o b40.u >/dev/null"),
              0);
    EXPECT_TRUE(testdata::readFile(work.file("b40.u")) == big);
#endif
}

// ------------------------------------------------ run sequence, in process

// Calls runProgram with `args`, capturing both console streams.
struct InProcessRun {
    explicit InProcessRun(std::vector<std::string> args) {
        args.insert(args.begin(), "morv-Q17");
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        std::ostringstream out;
        std::ostringstream err;
        std::streambuf* savedOut = std::cout.rdbuf(out.rdbuf());
        std::streambuf* savedErr = std::cerr.rdbuf(err.rdbuf());
        resetSettings();
        result = runProgram(static_cast<int>(args.size()), argv.data());
        resetSettings();
        std::cout.rdbuf(savedOut);
        std::cerr.rdbuf(savedErr);
        stdoutText = out.str();
        stderrText = err.str();
    }
    int result = 0;
    std::string stdoutText;
    std::string stderrText;
};

TEST(RunSequenceTest, UsageErrorBecomesErrorLineAndMinusOne) {
    const InProcessRun run({"-c"});
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.stdoutText, "");
    EXPECT_EQ(run.stderrText, "ERROR: Input filename missing!\n");
}

TEST(RunSequenceTest, NoArgumentsReturnsZeroAfterHelp) {
    const InProcessRun run({});
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.stdoutText, helpText);
    EXPECT_EQ(run.stderrText, "");
}

TEST(RunSequenceTest, DriverExceptionBecomesErrorLineAndMinusOne) {
    testdata::TempDir dir;
    const std::string missing = dir.file("missing");
    const InProcessRun run({"-c", missing});
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.stdoutText, "");
    EXPECT_EQ(run.stderrText, "ERROR: Unable to open input file: " + missing + "\n");
}

}  // namespace
