#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <sys/mount.h>

#include "saving/extract_ntfs.h"
#include "tests/saving/tiny_fat.h"
#include "tests/support/scripted_sink.h"

namespace snapmend::saving {
namespace {

using device::DevicePathTable;
using test::ScriptedSink;
using test::TempDir;
using test::UnchangedGuard;
using test_fixtures::fileBytes;
using test_fixtures::TinyFat;

// Writes to a real file until limit bytes have gone through, then fails every write with error.
class LimitedOutput final : public OutputFile {
public:
    LimitedOutput(const std::string& path, std::size_t limit, int error)
        : m_inner(openPosixOutput(path).file), m_left(limit), m_error(error) {}
    int write(std::span<const std::byte> data, std::size_t& written) override {
        written = 0;
        const std::size_t fits = std::min(data.size(), m_left);
        if (const int err = m_inner->write(data.first(fits), written); err != 0) return err;
        m_left -= written;
        return fits < data.size() ? m_error : 0;
    }
    int close() override { return m_inner->close(); }

private:
    std::unique_ptr<OutputFile> m_inner;
    std::size_t m_left;
    int m_error;
};

TEST(DiskFull, OpenAndWriteFailuresStopTheSaveOnlyWhenTheDiskIsFull) {
    enum class Engine { Fat, NtfsRuns };
    struct Case {
        const char* name;
        Engine engine;
        int openError;        // 0: the file opens
        std::size_t writeLimit;  // bytes that can be written before writeError
        int writeError;
        bool previewMode;
        bool skipOnOpenFailure;
        bool stop;            // message shown and stopAll set
        bool skipCurrentAfter;
        std::uint64_t kept;   // bytes on disk afterwards
    };
    const Case cases[] = {
        {"create fails with ENOSPC", Engine::Fat, ENOSPC, 0, 0, false, false, true, false, 0},
        {"create fails with ENOSPC while opening a file", Engine::Fat, ENOSPC, 0, 0, true, false, false, false, 0},
        {"other create errors are silent", Engine::Fat, EACCES, 0, 0, false, false, false, false, 0},
        {"skip on open failure", Engine::Fat, EACCES, 0, 0, false, true, false, true, 0},
        {"write fails with ENOSPC", Engine::Fat, 0, 1024, ENOSPC, false, false, true, false, 1024},
        {"write fails with EDQUOT", Engine::Fat, 0, 512, EDQUOT, false, false, true, false, 512},
        {"other write errors end only the file", Engine::Fat, 0, 1024, EIO, false, false, false, false, 1024},
        {"run writer: write fails with ENOSPC", Engine::NtfsRuns, 0, 1536, ENOSPC, false, false, true, false, 1536},
        {"run writer: create fails with ENOSPC", Engine::NtfsRuns, ENOSPC, 0, 0, false, false, true, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TinyFat fat("FAT16", 1, 12);
        UnchangedGuard guard(fat.image);
        ScriptedSink sink;
        SaveContext ctx;
        ctx.sink = &sink;
        ctx.previewMode = c.previewMode;
        ctx.skipOnOpenFailure = c.skipOnOpenFailure;
        ctx.openOutput = [&c](const std::string& path) -> OpenedOutput {
            if (c.openError != 0) return {nullptr, c.openError};
            return {std::make_unique<LimitedOutput>(path, c.writeLimit, c.writeError), 0};
        };
        const std::string path = (fat.out / "f.bin").string();
        const SourceVolume source{fat.devices, DevicePathTable[0], fat.params};
        const std::vector<DataRun> runs{{2, 8}};
        const auto outcome = c.engine == Engine::Fat ? ExtractFatFile(source, ctx, path, "f.bin", 4000, 2, false)
                                                     : WriteNtfsRuns(source, ctx, path, runs, 4000, false);

        EXPECT_EQ(ctx.stopAll.load(), c.stop);
        EXPECT_EQ(ctx.skipCurrent.load(), c.skipCurrentAfter);
        ASSERT_EQ(sink.messages.size(), c.stop ? 1u : 0u);
        if (c.stop) {
            EXPECT_EQ(sink.messages[0].kind, MessageKind::Information);
            EXPECT_EQ(sink.messages[0].text, kDiskFullMessage);
        }
        EXPECT_EQ(outcome.error, c.openError != 0 ? c.openError : c.writeError);
        EXPECT_FALSE(outcome.complete);
        EXPECT_EQ(outcome.bytes, c.kept);
        if (c.openError == 0) {
            EXPECT_EQ(fileBytes(path), fat.expected({2, 3, 4, 5, 6, 7, 8, 9}, c.kept));
        } else {
            EXPECT_FALSE(std::filesystem::exists(path));
        }
    }
}

// A real full file system, when this process may mount one.
class SmallTmpfs {
public:
    SmallTmpfs() { m_mounted = ::mount("tmpfs", m_dir.path().c_str(), "tmpfs", 0, "size=64k") == 0; }
    ~SmallTmpfs() {
        if (m_mounted) ::umount(m_dir.path().c_str());
    }
    bool mounted() const { return m_mounted; }
    std::filesystem::path operator/(const std::string& name) const { return m_dir / name; }

private:
    TempDir m_dir;
    bool m_mounted = false;
};

TEST(DiskFull, RealFullFileSystemStopsAndKeepsWhatWasWritten) {
    TinyFat fat("FAT32", 8, 40);  // 38 data clusters of 4 KiB: more than the 64 KiB file system holds
    SmallTmpfs small;
    if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
    UnchangedGuard guard(fat.image);
    ScriptedSink sink;
    SaveContext ctx;
    ctx.sink = &sink;
    const std::uint64_t size = 38 * 4096;
    const auto path = small / "big.bin";
    const SourceVolume source{fat.devices, DevicePathTable[0], fat.params};
    const auto outcome = ExtractFatFile(source, ctx, path.string(), "big.bin", size, 2, false);

    EXPECT_TRUE(outcome.created);
    EXPECT_EQ(outcome.error, ENOSPC);
    EXPECT_TRUE(ctx.stopAll.load());
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_EQ(sink.messages[0].text, kDiskFullMessage);
    // What fitted stays: the beginning of the file (a last write may have gone in part).
    const auto kept = fileBytes(path);
    EXPECT_GT(outcome.bytes, 0u);
    EXPECT_GE(kept.size(), outcome.bytes);
    EXPECT_LT(kept.size(), size);
    std::vector<std::uint32_t> clusters;
    for (std::uint32_t c = 2; c < 40; ++c) clusters.push_back(c);
    EXPECT_EQ(kept, fat.expected(clusters, kept.size()));
}

} // namespace
} // namespace snapmend::saving
