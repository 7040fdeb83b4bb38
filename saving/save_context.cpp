#include "saving/save_context.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "saving/detail/output.h"

namespace snapmend::saving {

namespace {

class PosixOutput final : public OutputFile {
public:
    explicit PosixOutput(int fd) : m_fd(fd) {}
    ~PosixOutput() override {
        if (m_fd >= 0) ::close(m_fd);
    }
    int write(std::span<const std::byte> data, std::size_t& done) override {
        done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(m_fd, data.data() + done, data.size() - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            if (n == 0) return ENOSPC;  // a regular file only writes nothing when it cannot grow
            done += static_cast<std::size_t>(n);
        }
        return 0;
    }
    int close() override {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0 ? 0 : errno;
    }

private:
    int m_fd;
};

} // namespace

namespace {

OpenedOutput openWithFlags(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | flags, 0644);
    if (fd < 0) return {nullptr, errno};
    return {std::make_unique<PosixOutput>(fd), 0};
}

} // namespace

OpenedOutput openPosixOutput(const std::string& path) { return openWithFlags(path, O_TRUNC); }

OpenedOutput openNewPosixOutput(const std::string& path) { return openWithFlags(path, O_EXCL); }

std::string bytesText(std::uint64_t done, std::uint64_t total) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%llu / %llu Bytes", static_cast<unsigned long long>(done),
                  static_cast<unsigned long long>(total));
    return buf;
}

std::string filesText(std::uint64_t done, std::uint64_t total) {
    if (done > total) done = total;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%llu / %llu", static_cast<unsigned long long>(done),
                  static_cast<unsigned long long>(total));
    return buf;
}

std::string displayPath(std::string_view path) {
    constexpr std::size_t kWrapAbove = 70;
    if (path.size() <= kWrapAbove) return std::string(path);
    std::string out;
    out.reserve(path.size() + path.size() / 8);
    for (char c : path) {
        if (c == '/') out += ' ';
        out += c;
    }
    return out;
}

namespace detail {

bool isNoSpace(int error) { return error == ENOSPC || error == EDQUOT; }

void reportDiskFull(SaveContext& ctx) {
    if (ctx.previewMode) return;
    if (ctx.sink) ctx.sink->message(MessageKind::Information, kDiskFullMessage);
    ctx.stopAll = true;
}

OpenedOutput createOutput(SaveContext& ctx, const std::string& path, ExtractOutcome& outcome) {
    OpenedOutput out = ctx.openOutput ? ctx.openOutput(path) : openPosixOutput(path);
    if (out.file) {
        outcome.created = true;
        outcome.path = path;
        return out;
    }
    outcome.error = out.error != 0 ? out.error : EIO;
    if (isNoSpace(outcome.error)) reportDiskFull(ctx);
    if (ctx.skipOnOpenFailure) ctx.skipCurrent = true;
    return out;
}

bool writeOutput(SaveContext& ctx, OutputFile& file, std::span<const std::byte> data, ExtractOutcome& outcome) {
    if (data.empty()) return true;
    std::size_t written = 0;
    const int err = file.write(data, written);
    outcome.bytes += written;  // what went in before an error stays in the file
    if (err == 0) return true;
    outcome.error = err;
    if (isNoSpace(err)) reportDiskFull(ctx);
    return false;
}

void closeOutput(SaveContext& ctx, OutputFile& file, ExtractOutcome& outcome) {
    const int err = file.close();
    if (err == 0 || outcome.error != 0) return;
    outcome.error = err;
    outcome.complete = false;
    if (isNoSpace(err)) reportDiskFull(ctx);
}

void stepTotalFiles(SaveContext& ctx) {
    if (ctx.previewMode || !ctx.progress || ctx.totalBarPosition >= ctx.totalFileCount) return;
    ++ctx.totalBarPosition;
    ctx.progress->totalFilesBar(ctx.totalBarPosition, ctx.totalFileCount);
}

} // namespace detail

} // namespace snapmend::saving
