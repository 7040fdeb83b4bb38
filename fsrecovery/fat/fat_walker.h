// Everything read from a FAT16 or FAT32 volume's directories: decoding 32-byte entries into names,
// following cluster chains through the first FAT, finding lost directory clusters in the data
// area, naming the found folders from their parents, and listing a folder's files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/engine_sink.h"
#include "fsrecovery/session.h"

namespace snapmend::fsrecovery::fat {

inline constexpr std::size_t kEntrySize = 32;
inline constexpr std::size_t kEntriesPerSector = 16;
// The lost-directory scan reads this many sectors per call (256 KiB).
inline constexpr std::uint32_t kScanBlockSectors = 512;

inline constexpr std::uint8_t kAttrLongName = 0x0F;
inline constexpr std::uint8_t kAttrVolumeLabel = 0x08;
inline constexpr std::uint8_t kAttrDirectory = 0x10;

using EntryBytes = std::span<const std::byte, kEntrySize>;
using SectorBytes = std::span<const std::byte, 512>;

// One decoded 32-byte directory entry.
struct EntryInfo {
    std::uint32_t startCluster = 0;
    std::string shortName;  // 8.3 text; a deleted entry's first character shows as "_"
    bool deleted = false;   // first name byte 0xE5
    std::uint8_t attr = 0;
    std::uint16_t time = 0;
    std::uint16_t date = 0;
    std::uint32_t size = 0;
    bool acceptable = false;  // the short name may be used at all
};

EntryInfo decodeEntry(EntryBytes entry, bool fat32);

// First byte 0x00: nothing follows in this directory.
bool isEndOfDirectory(EntryBytes entry);
// The "." and ".." entries at the head of a subdirectory.
bool isDotEntry(EntryBytes entry);
bool isLongNameEntry(EntryBytes entry);

// The 8.3 name as text: name bytes without blanks, then "." and the extension bytes without blanks
// (no dot when the first extension byte is blank). Bytes above 127 are taken as Latin-1.
std::string shortName(EntryBytes entry);
// A short name is used only when it holds no control character, none of " \ / ? * < > | : and
// nothing outside ASCII; garbage entries fail this.
bool isAcceptableName(std::string_view shortName);
// The long name when there is one, else the short name; a long name without an extension gets
// the short name's extension.
std::string displayName(std::string_view longName, std::string_view shortName);

// The chain of clusters starting at start, read from the first FAT. Values 0xFFF8..0xFFFE (FAT16)
// and 0x0FFFFFF8..0x0FFFFFFE (FAT32) are followed as cluster numbers. The chain ends at a value
// below 2 or at the end marks, at an unreadable FAT sector, when a cluster comes round again, when
// it holds as many clusters as the volume has, or when listingCancel is set.
std::vector<std::uint32_t> BuildClusterChain(const Session& session, std::uint32_t start);

// The long name whose entries precede the short entry at entryOffset of sector (sector number
// sectorNumber), read backwards and into the previous device sector; empty when there is none.
std::string ReadLongName(const Session& session, SectorBytes sector, std::size_t entryOffset,
                         std::uint64_t sectorNumber);

// Fills recovered.LostDirList from the whole data area: row 0 is the catch-all folder, then one
// "DIR<n>" row per directory cluster whose "." entry names the cluster itself. A stop request
// ends the scan between two blocks and keeps the rows found so far.
void ScanLostDirectories(Session& session, EngineSink& sink, std::stop_token stop);

// Names the root-level rows of the LostDirList (sorted by "parent") from the root directory and
// marks the deleted ones. False when a FAT16 root sector cannot be read: the assembly is abandoned.
bool NameRootLevelRows(Session& session);

// Names the child folders of folderNode from one sector of its directory. False at the end of
// the directory (an entry starting with 0x00); true otherwise, also when listingCancel stops it.
bool NameChildrenFromDirectory(Session& session, std::uint64_t sectorNumber, std::uint32_t folderSelf,
                               NodeId folderNode);

// The tree's expanding handler: names the node's child folders from its directory once.
void nameChildFolders(Session& session, NodeId node);
// The same naming loop, run every time (the folder listing names the children of the folder it
// lists whether or not it was expanded before).
void nameChildFoldersNow(Session& session, NodeId node);

// Appends the files of the folder whose directory starts at folderCluster (0: the root) to
// session.itemList and counts them in session.fileCount. volumeIndex >= 0 goes into the
// "FILE_SYS" column when the list has one.
void ListFolderFiles(Session& session, std::uint32_t folderCluster, int volumeIndex);

} // namespace snapmend::fsrecovery::fat
