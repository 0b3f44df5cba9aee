#include "cli/RunFiles.h"

#include <cerrno>

#include "cli/AppendFile.h"
#include "cli/OsReasons.h"

namespace tervan::cli {

std::string fileErrorText(int error) {
    if (error == kNotAWritableFile) {
        return "neither a regular file nor a character device";
    }
    return systemErrorText(error);
}

int ReceiptBook::check() const {
    return appendToFile(path_, {});
}

int ReceiptBook::append(const std::string& line) const {
    return appendToFile(path_, line + "\n");
}

std::unique_ptr<TraceFile> TraceFile::create(const std::string& path, int& error) {
    std::FILE* file = createPrivateFile(path, error);
    if (file == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<TraceFile>(new TraceFile(file, path));
}

TraceFile::TraceFile(std::FILE* file, std::string path)
    : file_(file), path_(std::move(path)), started_(std::chrono::steady_clock::now()) {}

TraceFile::~TraceFile() {
    finish();
}

void TraceFile::record(const std::string& port, const char* direction,
                       std::span<const std::uint8_t> bytes) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    std::string line;
    line.reserve(32 + port.size() + bytes.size() * 3);
    char head[40];
    std::snprintf(head, sizeof head, "%12.6f ", seconds);
    line += head;
    line += port;
    line += ' ';
    line += direction;
    static constexpr char kHex[] = "0123456789abcdef";
    for (const std::uint8_t byte : bytes) {
        line += ' ';
        line += kHex[byte >> 4];
        line += kHex[byte & 0x0F];
    }
    line += '\n';
    const std::lock_guard<std::mutex> hold(lock_);
    if (file_ != nullptr && error_ == 0 && std::fputs(line.c_str(), file_) == EOF) {
        error_ = errno != 0 ? errno : EIO;
    }
}

int TraceFile::finish() {
    const std::lock_guard<std::mutex> hold(lock_);
    if (file_ == nullptr) {
        return error_;
    }
    errno = 0;
    if ((std::fflush(file_) != 0 || std::ferror(file_) != 0) && error_ == 0) {
        error_ = errno != 0 ? errno : EIO;
    }
    if (std::fclose(file_) != 0 && error_ == 0) {
        error_ = errno != 0 ? errno : EIO;
    }
    file_ = nullptr;
    return error_;
}

}  // namespace tervan::cli
