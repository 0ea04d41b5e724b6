// The whole program on this machine: `ntsnap`, `ntsnap /p` and `ntsnap /t` run as children, their
// output parsed line by line against the widths of the report formats.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string processHeader =
    "CMD               PID  PPID THRDS                 CREATED     USRTIME    KRNLTIM"
    "E %CPU   PRI HNDLS PGFAULTS       VMEM   \xB1"
    "VMEM    VMEMMAX     WRKSET \xB1"
    "WRKSET  WR"
    "KSETMAX        PPL    \xB1"
    "PPL     PPLMAX       NPPL   \xB1"
    "NPPL   NPPLPMAX       SWAP  "
    " \xB1"
    "SWAP    SWAPMAX     PVTPGS \xB1"
    "PVTPGS   I/O RD  I/O WRT  I/O OTH \xB1"
    "I/O#    I/O RDB"
    "   I/O WRTB   I/O OTHB  \xB1"
    "I/O B";

const std::string threadHeader = "     TID STATE       WAITREASON                   CREATED     "
                                 "USRTIME    KRNLTIME %CPU   PRI BSPRI   STRTADDR WAITTIME     "
                                 "CTXS \xB1"
                                 "CTXS";

struct Output {
    int status = -1;
    std::string out;
};

Output ntsnap(const std::string& args) {
    Output run;
    const char* exe = std::getenv("NTSNAP_EXE");
    if (exe == nullptr) {
        return run;
    }
    std::string command = std::string("'") + exe + "' " + args;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        run.out.append(buffer, n);
    }
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// Splits at CR LF; a line feed without its carriage return fails the test.
std::vector<std::string> crlfLines(const std::string& out) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < out.size()) {
        std::size_t end = out.find('\n', at);
        EXPECT_NE(end, std::string::npos) << "output does not end in a line end";
        if (end == std::string::npos) {
            break;
        }
        EXPECT_TRUE(end > at && out[end - 1] == '\r') << "bare line feed at byte " << end;
        lines.push_back(out.substr(at, end - at - (end > at && out[end - 1] == '\r' ? 1 : 0)));
        at = end + 1;
    }
    return lines;
}

// A value line matched field by field: each field is its value right-aligned (or left-aligned,
// for names) in at least the width of its conversion, and only a value too long for its width
// may fill it without a blank.
struct Field {
    const char* pattern;
    std::size_t width;
};

constexpr const char* number = "( *\\d+)";
constexpr const char* kilo = "( *\\d+) K";
constexpr const char* signedKilo = "( *[+-]\\d+) K";
constexpr const char* duration = "( *\\d+\\.\\d{3})";
constexpr const char* stamp =
    "( *(?:\\(null\\)|\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}|\\(\\d0: error \\d+\\)))";

const std::vector<Field> processFields = {
    {"(.{15,}?)", 15}, {number, 5},         {number, 5},     {number, 5},     {stamp, 23},
    {duration, 11},    {duration, 11},      {number, 4},     {number, 5},     {number, 5},
    {number, 8},       {kilo, 8},           {signedKilo, 5}, {kilo, 8},       {kilo, 8},
    {signedKilo, 5},   {kilo, 8},           {kilo, 8},       {signedKilo, 5}, {kilo, 8},
    {kilo, 8},         {signedKilo, 5},     {kilo, 8},       {kilo, 8},       {signedKilo, 5},
    {kilo, 8},         {kilo, 8},           {signedKilo, 5}, {number, 8},     {number, 8},
    {number, 8},       {"( *[+-]\\d+)", 5}, {kilo, 8},       {kilo, 8},       {kilo, 8},
    {signedKilo, 5}};

const std::vector<Field> threadFields = {{number, 8},
                                         {"((?=(?:Init|Ready|Running|Standby|Terminated|Waiting|"
                                          "Transition|Unknown|Default) )[A-Za-z ]{11})",
                                          11},
                                         {"([A-Z][A-Za-z0-9 ]{11})", 12},
                                         {stamp, 23},
                                         {duration, 11},
                                         {duration, 11},
                                         {number, 4},
                                         {number, 5},
                                         {number, 5},
                                         {"(  [0-9A-F]{8})", 10},
                                         {number, 8},
                                         {number, 8},
                                         {"( *[+-]\\d+)", 5}};

std::regex lineRegex(const std::vector<Field>& fields) {
    std::string pattern = "^";
    for (std::size_t i = 0; i < fields.size(); ++i) {
        pattern += (i == 0 ? "" : " ") + std::string(fields[i].pattern);
    }
    return std::regex(pattern + "$");
}

// The fields of a value line, trimmed, or an empty vector when the line does not match.
std::vector<std::string> parse(const std::string& line, const std::regex& re,
                               const std::vector<Field>& fields) {
    std::smatch m;
    if (!std::regex_match(line, m, re)) {
        ADD_FAILURE() << "line does not match its format:\n" << line;
        return {};
    }
    std::vector<std::string> values;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        std::string field = m[i + 1].str();
        EXPECT_GE(field.size(), fields[i].width) << "field " << i << " of\n" << line;
        if (field.size() > fields[i].width) {
            EXPECT_NE(field.front(), ' ') << "field " << i << " padded past its width in\n" << line;
        }
        std::size_t first = field.find_first_not_of(' ');
        std::size_t last = field.find_last_not_of(' ');
        values.push_back(first == std::string::npos ? "" : field.substr(first, last - first + 1));
    }
    return values;
}

unsigned processorCount() {
    std::ifstream stat("/proc/stat");
    unsigned n = 0;
    for (std::string line; std::getline(stat, line);) {
        if (line.size() > 3 && line.compare(0, 3, "cpu") == 0 && std::isdigit(line[3])) {
            ++n;
        }
    }
    return n;
}

struct ProcessRow {
    std::string name;
    unsigned long pid;
    unsigned long threads;
    unsigned long cpu;
};

// Checks the frame of the process report at the start of `lines` and returns its rows; `next` is
// left at the first line after the report's empty line.
std::vector<ProcessRow> processReport(const std::vector<std::string>& lines, std::size_t* next) {
    static const std::regex banner(
        "^### PROCESS SNAPSHOT \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}$");
    static const std::regex row = lineRegex(processFields);
    std::vector<ProcessRow> rows;
    EXPECT_GE(lines.size(), 5u);
    if (lines.size() < 5) {
        return rows;
    }
    EXPECT_EQ(lines[0], std::string(350, '='));
    EXPECT_TRUE(std::regex_match(lines[1], banner)) << lines[1];
    EXPECT_EQ(lines[2], std::string(350, '='));
    EXPECT_EQ(lines[3], processHeader);
    std::size_t i = 4;
    for (; i < lines.size() && !lines[i].empty(); ++i) {
        std::vector<std::string> v = parse(lines[i], row, processFields);
        if (v.empty()) {
            continue;
        }
        if (v[0].size() <= 15 && lines[i].size() != 350) {
            // Only values too long for their columns may make a line longer.
            EXPECT_GT(lines[i].size(), 350u) << lines[i];
        }
        rows.push_back({v[0], std::stoul(v[1]), std::stoul(v[3]), std::stoul(v[7])});
    }
    EXPECT_LT(i, lines.size()) << "no empty line after the process report";
    *next = i + 1;
    return rows;
}

struct ThreadTable {
    unsigned long pid;
    std::string name;
    unsigned long threads;
    std::vector<std::vector<std::string>> rows;
};

std::vector<ThreadTable> threadReports(const std::vector<std::string>& lines, std::size_t at) {
    static const std::regex banner("^### THREAD SNAPSHOT \\d{4}-\\d\\d-\\d\\d "
                                   "\\d\\d:\\d\\d:\\d\\d\\.\\d{3}  PID:(\\d+)\\((.*)\\)"
                                   "  THRDS:(\\d+)  USR:\\d+\\.\\d{3}  KRNL:\\d+\\.\\d{3}$");
    static const std::regex row = lineRegex(threadFields);
    std::vector<ThreadTable> tables;
    while (at < lines.size()) {
        ThreadTable table;
        std::smatch m;
        EXPECT_EQ(lines[at], std::string(133, '='));
        if (at + 3 >= lines.size() || !std::regex_match(lines[at + 1], m, banner)) {
            ADD_FAILURE() << "not a thread table banner at line " << at + 1;
            break;
        }
        table.pid = std::stoul(m[1].str());
        table.name = m[2].str();
        table.threads = std::stoul(m[3].str());
        EXPECT_EQ(lines[at + 2], std::string(133, '='));
        EXPECT_EQ(lines[at + 3], threadHeader);
        at += 4;
        for (; at < lines.size() && !lines[at].empty(); ++at) {
            // Only values too long for their columns may make a line longer.
            EXPECT_GE(lines[at].size(), 133u) << lines[at];
            table.rows.push_back(parse(lines[at], row, threadFields));
        }
        EXPECT_EQ(table.rows.size(), table.threads) << "PID " << table.pid;
        ++at; // the empty line after each table
        tables.push_back(table);
    }
    return tables;
}

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::getenv("NTSNAP_EXE") == nullptr) {
            GTEST_SKIP() << "NTSNAP_EXE names no program";
        }
    }
};

TEST_F(EndToEnd, ProcessReportAlone) {
    Output run = ntsnap("/p");
    ASSERT_EQ(run.status, 0) << run.out;
    std::vector<std::string> lines = crlfLines(run.out);
    std::size_t next = 0;
    std::vector<ProcessRow> rows = processReport(lines, &next);
    EXPECT_EQ(next, lines.size()) << "output after the process report";
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0].name, "Idle");
    EXPECT_EQ(rows[0].pid, 0u);
    EXPECT_EQ(rows[0].threads, processorCount());
    bool sawSelf = false;
    for (const ProcessRow& r : rows) {
        sawSelf = sawSelf || r.pid == static_cast<unsigned long>(getpid());
        EXPECT_LE(r.cpu, 100u) << r.name;
    }
    EXPECT_TRUE(sawSelf) << "the test process is missing from the table";
}

TEST_F(EndToEnd, ThreadReportsAlone) {
    Output run = ntsnap("/t");
    ASSERT_EQ(run.status, 0) << run.out;
    std::vector<ThreadTable> tables = threadReports(crlfLines(run.out), 0);
    ASSERT_FALSE(tables.empty());
    EXPECT_EQ(tables[0].pid, 0u);
    EXPECT_EQ(tables[0].name, "Idle");
    EXPECT_EQ(tables[0].threads, processorCount());
    for (const auto& idleThread : tables[0].rows) {
        ASSERT_FALSE(idleThread.empty());
        EXPECT_EQ(idleThread[0], "0");
    }
}

// Both reports come from the same second reading, so the thread tables follow the process table
// row for row.
TEST_F(EndToEnd, BothReportsDescribeTheSameProcesses) {
    Output run = ntsnap("");
    ASSERT_EQ(run.status, 0) << run.out;
    std::vector<std::string> lines = crlfLines(run.out);
    std::size_t next = 0;
    std::vector<ProcessRow> rows = processReport(lines, &next);
    std::vector<ThreadTable> tables = threadReports(lines, next);
    ASSERT_EQ(tables.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(tables[i].pid, rows[i].pid);
        EXPECT_EQ(tables[i].name, rows[i].name);
        EXPECT_EQ(tables[i].threads, rows[i].threads);
    }
}

TEST_F(EndToEnd, ASpinningChildShowsOneProcessorsShare) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        volatile unsigned long spin = 0;
        for (;;) {
            spin = spin + 1;
        }
    }
    // Let it be well under way before the first reading.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Output run = ntsnap("");
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_EQ(run.status, 0);

    std::vector<std::string> lines = crlfLines(run.out);
    std::size_t next = 0;
    std::vector<ProcessRow> rows = processReport(lines, &next);
    std::vector<ThreadTable> tables = threadReports(lines, next);
    const unsigned share = 100 / processorCount();
    // Other work on the machine may take part of its processor, never more than one processor.
    bool sawProcess = false;
    for (const ProcessRow& r : rows) {
        if (r.pid == static_cast<unsigned long>(child)) {
            sawProcess = true;
            EXPECT_GE(r.cpu, share / 2);
            EXPECT_LE(r.cpu, share + 2);
        }
    }
    EXPECT_TRUE(sawProcess);
    bool sawThread = false;
    for (const ThreadTable& t : tables) {
        if (t.pid == static_cast<unsigned long>(child) && t.rows.size() == 1 &&
            t.rows[0].size() == threadFields.size()) {
            sawThread = true;
            EXPECT_EQ(t.rows[0][0], std::to_string(child));
            unsigned long cpu = std::stoul(t.rows[0][6]);
            EXPECT_GE(cpu, share / 2);
            EXPECT_LE(cpu, share + 2);
        }
    }
    EXPECT_TRUE(sawThread);
}

} // namespace
