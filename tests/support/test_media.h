// Helpers that build test media: temporary folders, sector images written byte by byte, real
// volumes made with the Debian tools (sfdisk, sgdisk, mkfs.fat, mkntfs, mtools), and a guard that
// checks an image is unchanged after an operation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace snapmend::test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

// Runs a shell command; fails the current test (and returns false) when it exits non-zero.
bool run(const std::string& command);
// Runs a shell command and returns its standard output; fails the test on a non-zero exit.
std::string runOutput(const std::string& command);

// A sparse image of the given size in bytes.
void createImage(const std::filesystem::path& path, std::uint64_t sizeBytes);
// Overwrites bytes of an image at a byte offset.
void writeAt(const std::filesystem::path& path, std::uint64_t offset, std::span<const std::byte> bytes);
void writeSector(const std::filesystem::path& path, std::uint64_t sector, std::span<const std::byte> bytes);
std::vector<std::byte> readAt(const std::filesystem::path& path, std::uint64_t offset, std::size_t length);

// Formats image (created with sizeMiB) as NTFS with mkntfs and runs shellCommands inside it through
// a FUSE mount (lowntfs-3g; no kernel driver, nothing outside the image's folder is touched), then
// unmounts and waits until everything is written back. Returns false, with why, where this machine
// has no FUSE or no lowntfs-3g: the caller skips.
bool makeNtfsVolume(const std::filesystem::path& image, int sizeMiB, const std::string& shellCommands,
                    std::string& why);

// A 512-byte sector of zeros.
std::vector<std::byte> zeroSector();

// 64-bit content hash of a whole file.
std::uint64_t hashFile(const std::filesystem::path& path);

// Records an image's hash on construction; EXPECTs it unchanged on destruction.
class UnchangedGuard {
public:
    explicit UnchangedGuard(std::filesystem::path path);
    ~UnchangedGuard();
    UnchangedGuard(const UnchangedGuard&) = delete;
    UnchangedGuard& operator=(const UnchangedGuard&) = delete;

private:
    std::filesystem::path m_path;
    std::uint64_t m_hash;
};

} // namespace snapmend::test
