#include "Logger.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

class LoggerTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "loggertest-XXXXXX").string();
        ASSERT_NE(nullptr, mkdtemp(pattern.data()));
        m_dir = pattern;
    }
    void TearDown() override {
        Logger::setStandardError();
        Logger::setObserver(Logger::Observer());
        fs::remove_all(m_dir);
    }
    static std::vector<std::string> linesOf(const fs::path& file) {
        std::vector<std::string> lines;
        std::ifstream in(file);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    fs::path m_dir;
};

const std::regex kEntry(
    R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[([A-Za-z]+)\] (.*) \(([^:]+):(\d+)\))");

TEST_F(LoggerTest, EntryIsOneStampedLineOnStandardErrorByDefault) {
    testing::internal::CaptureStderr();
    Logger::writeLog("BackupIOError", "not valid pointer in dec_reference", "Retriever.cpp", 77);
    const std::string out = testing::internal::GetCapturedStderr();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ('\n', out.back());
    std::smatch m;
    const std::string line = out.substr(0, out.size() - 1);
    ASSERT_TRUE(std::regex_match(line, m, kEntry)) << line;
    EXPECT_EQ("BackupIOError", m[1]);
    EXPECT_EQ("not valid pointer in dec_reference", m[2]);
    EXPECT_EQ("Retriever.cpp", m[3]);
    EXPECT_EQ("77", m[4]);

    // A log file that cannot be opened leaves the log where it was.
    std::ofstream(m_dir / "plain") << "x";
    testing::internal::CaptureStderr();
    EXPECT_EQ(-2, Logger::setLogFile((m_dir / "plain" / "backup.log").string(), 1000, 1));
    Logger::writeLog("BackupServiceStopThread", "still here", "StopThread.cpp", 5);
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find(
                                     "[BackupServiceStopThread] still here (StopThread.cpp:5)"));
}

TEST_F(LoggerTest, FileRotatesAtItsCapAndKeepsTheNewestEntries) {
    const fs::path file = m_dir / "backup.log";
    ASSERT_EQ(-1, Logger::setLogFile(file.string(), 0, 2));
    ASSERT_EQ(-1, Logger::setLogFile("", 1000, 2));
    ASSERT_EQ(0, Logger::setLogFile(file.string(), 1000, 2));
    constexpr int kEntries = 100;
    for (int i = 0; i < kEntries; ++i) {
        Logger::writeLog("RecordIOError", ("entry " + std::to_string(i)).c_str(), "Storage.cpp", i);
    }
    const fs::path first = m_dir / "backup.1.log";
    const fs::path second = m_dir / "backup.2.log";
    ASSERT_TRUE(fs::exists(file));
    ASSERT_TRUE(fs::exists(first));
    ASSERT_TRUE(fs::exists(second));
    EXPECT_FALSE(fs::exists(m_dir / "backup.3.log"));
    EXPECT_EQ(3, std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()));

    // Oldest file first, the entries must run on without a gap to the last one.
    std::vector<int> numbers;
    for (const fs::path& part : {second, first, file}) {
        EXPECT_LE(fs::file_size(part), 1000u) << part;
        for (const std::string& line : linesOf(part)) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, kEntry)) << line;
            numbers.push_back(std::stoi(m[2].str().substr(6)));
        }
    }
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(kEntries - 1, numbers.back());
    EXPECT_GT(numbers.front(), 0);  // the oldest entries were dropped
    for (std::size_t i = 1; i < numbers.size(); ++i) EXPECT_EQ(numbers[i - 1] + 1, numbers[i]);
}

TEST_F(LoggerTest, EntriesFromManyThreadsStayWholeAndTheObserverSeesEach) {
    const fs::path file = m_dir / "threads.log";
    ASSERT_EQ(0, Logger::setLogFile(file.string(), 10 * 1000 * 1000, 1));
    std::mutex mutex;
    int observed = 0;
    Logger::setObserver([&](const std::string& category, const std::string& message,
                            const std::string& source, int line) {
        std::lock_guard<std::mutex> guard(mutex);  // the log serialises, TSan checks
        if (category == "T" && message.rfind("thread ", 0) == 0 && source == "x.cpp" && line > 0)
            ++observed;
    });
    constexpr int kThreads = 4, kEach = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::string message = "thread " + std::to_string(t) + std::string(80, 'x');
            for (int i = 0; i < kEach; ++i) Logger::writeLog("T", message.c_str(), "x.cpp", i + 1);
        });
    }
    for (auto& thread : threads) thread.join();
    Logger::setObserver(Logger::Observer());
    EXPECT_EQ(kThreads * kEach, observed);
    const std::vector<std::string> lines = linesOf(file);
    ASSERT_EQ(static_cast<std::size_t>(kThreads * kEach), lines.size());
    for (const std::string& line : lines) ASSERT_TRUE(std::regex_match(line, kEntry)) << line;
}

}  // namespace
