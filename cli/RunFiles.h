// The files a run writes beside its output: the receipts, one JSON line per board, and the
// trace of every byte in and out of every board. Both are said when they cannot be written,
// and count in the run's exit status.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "protocol/LineTrace.h"

namespace tervan::cli {

// The system's words for an error of appendToFile or createPrivateFile.
std::string fileErrorText(int error);

// The receipts file: one JSON line per board, appended whole.
class ReceiptBook {
public:
    explicit ReceiptBook(std::string path) : path_(std::move(path)) {}
    // Creates the file when it is missing; the error code when it cannot be appended to.
    int check() const;
    // 0 when the line is in the file whole, otherwise the error code.
    int append(const std::string& line) const;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The --trace file: every byte in and out of every board, with the time since the start.
class TraceFile {
public:
    // Null with `error` set when the file cannot be made.
    static std::unique_ptr<TraceFile> create(const std::string& path, int& error);
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // "   12.345678 COM3 out 57 00 01 ...".
    void record(const std::string& port, const char* direction,
                std::span<const std::uint8_t> bytes);
    // Writes out what is held back and closes the file: 0 when every line is in it, otherwise
    // the first error code.
    int finish();
    const std::string& path() const { return path_; }

private:
    TraceFile(std::FILE* file, std::string path);

    std::mutex lock_;
    std::FILE* file_;
    std::string path_;
    std::chrono::steady_clock::time_point started_;
    int error_ = 0;
};

// One board's bytes into the trace, under its port's name.
class BoardTrace final : public LineTrace {
public:
    BoardTrace(TraceFile& file, std::string port) : file_(file), port_(std::move(port)) {}
    void sent(std::span<const std::uint8_t> bytes) override { file_.record(port_, "out", bytes); }
    void received(std::span<const std::uint8_t> bytes) override {
        file_.record(port_, "in", bytes);
    }

private:
    TraceFile& file_;
    std::string port_;
};

}  // namespace tervan::cli
