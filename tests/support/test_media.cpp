#include "tests/support/test_media.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace snapmend::test {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "snapmend-test-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

bool run(const std::string& command) {
    const std::string full = command + " >/dev/null 2>&1";
    const int rc = std::system(full.c_str());
    const bool ok = rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
    EXPECT_TRUE(ok) << "command failed: " << command;
    return ok;
}

std::string runOutput(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) {
        ADD_FAILURE() << "cannot run: " << command;
        return out;
    }
    std::array<char, 4096> buf{};
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
    const int rc = ::pclose(p);
    EXPECT_TRUE(rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << "command failed: " << command;
    return out;
}

void createImage(const std::filesystem::path& path, std::uint64_t sizeBytes) {
    { std::ofstream(path, std::ios::binary | std::ios::trunc); }
    std::filesystem::resize_file(path, sizeBytes);
}

void writeAt(const std::filesystem::path& path, std::uint64_t offset, std::span<const std::byte> bytes) {
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    ASSERT_TRUE(f) << "cannot open " << path;
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(f) << "cannot write " << path;
}

void writeSector(const std::filesystem::path& path, std::uint64_t sector, std::span<const std::byte> bytes) {
    writeAt(path, sector * 512, bytes);
}

std::vector<std::byte> readAt(const std::filesystem::path& path, std::uint64_t offset, std::size_t length) {
    std::vector<std::byte> out(length);
    std::ifstream f(path, std::ios::binary);
    f.seekg(static_cast<std::streamoff>(offset));
    f.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(length));
    out.resize(static_cast<std::size_t>(f.gcount()));
    return out;
}

bool makeNtfsVolume(const std::filesystem::path& image, int sizeMiB, const std::string& shellCommands,
                    std::string& why) {
    if (std::system("command -v lowntfs-3g >/dev/null && test -c /dev/fuse") != 0) {
        why = "needs lowntfs-3g and FUSE";
        return false;
    }
    const std::string dir = image.parent_path().string();
    const std::string img = image.filename().string();
    if (!run("cd '" + dir + "' && truncate -s " + std::to_string(sizeMiB) + "M '" + img +
             "' && mkntfs -F -Q -s 512 -c 4096 '" + img + "' && mkdir -p ntfs-mount")) {
        why = "mkntfs failed";
        return false;
    }
    const std::string mount = "cd '" + dir + "' && (lowntfs-3g -o no_detach '" + img +
                              "' ntfs-mount >fuse.log 2>&1 & echo $! >fuse.pid)"
                              " && for i in $(seq 200); do mountpoint -q ntfs-mount && exit 0; sleep 0.05; done; exit 1";
    if (std::system(mount.c_str()) != 0) {
        why = "the image could not be mounted through FUSE";
        return false;
    }
    const bool filled = run("cd '" + dir + "/ntfs-mount' && " + shellCommands);
    // The driver writes everything back before it exits.
    run("cd '" + dir + "' && fusermount -u ntfs-mount && while kill -0 $(cat fuse.pid) 2>/dev/null; do sleep 0.05; "
        "done; rmdir ntfs-mount; rm -f fuse.pid fuse.log");
    if (!filled) why = "filling the volume failed";
    return filled;
}

std::vector<std::byte> zeroSector() { return std::vector<std::byte>(512); }

std::uint64_t hashFile(const std::filesystem::path& path) {
    // Only the data regions of a sparse image are read; the hole layout enters the hash through
    // the offsets, so large sparse test media hash quickly and a write into a hole still shows.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    std::vector<char> buf(1 << 20);
    std::uint64_t h = 0xcbf29ce484222325ull;
    const auto mix = [&h](std::uint64_t w) {
        h = (h ^ w) * 0x100000001b3ull;
        h ^= h >> 29;
    };
    const off_t size = ::lseek(fd, 0, SEEK_END);
    off_t pos = 0;
    while (pos < size) {
        const off_t data = ::lseek(fd, pos, SEEK_DATA);
        if (data < 0) break;  // only a hole is left
        off_t hole = ::lseek(fd, data, SEEK_HOLE);
        if (hole < 0) hole = size;
        mix(static_cast<std::uint64_t>(data));
        for (off_t at = data; at < hole;) {
            const auto want = static_cast<std::size_t>(std::min<off_t>(hole - at, static_cast<off_t>(buf.size())));
            const ssize_t n = ::pread(fd, buf.data(), want, at);
            if (n <= 0) break;
            std::size_t i = 0;
            for (; i + 8 <= static_cast<std::size_t>(n); i += 8) {
                std::uint64_t w;
                std::memcpy(&w, buf.data() + i, 8);
                mix(w);
            }
            for (; i < static_cast<std::size_t>(n); ++i) mix(static_cast<unsigned char>(buf[i]));
            at += n;
        }
        pos = hole;
    }
    ::close(fd);
    return h ^ static_cast<std::uint64_t>(size);
}

UnchangedGuard::UnchangedGuard(std::filesystem::path path) : m_path(std::move(path)), m_hash(hashFile(m_path)) {}

UnchangedGuard::~UnchangedGuard() { EXPECT_EQ(hashFile(m_path), m_hash) << "the medium was changed: " << m_path; }

} // namespace snapmend::test

#include "tests/support/cli_run.h"

#include <sstream>

namespace snapmend::test {

std::string slurp(const std::filesystem::path& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

CliRun runCli(const TempDir& dir, const std::string& arguments) {
    const auto out = dir / "stdout.txt";
    const auto err = dir / "stderr.txt";
    const std::string command =
        std::string(SNAPMEND_CLI) + " " + arguments + " >'" + out.string() + "' 2>'" + err.string() + "' </dev/null";
    const int rc = std::system(command.c_str());
    CliRun r;
    r.exitCode = rc != -1 && WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

} // namespace snapmend::test
