// snapmend: the command-line program. It drives the same engines as the GUI, for scripting and
// headless use, and never writes to the medium it reads.
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "app/cli/command.h"

namespace snapmend::cli {

namespace {

// The three carving commands take the same options; only the mode and the example types differ.
std::string carveUsage(std::string_view command, std::string_view mode, std::string_view exampleTypes) {
    std::string u = "usage: snapmend " + std::string(command) +
                    " IMAGE --out DIR [--partition N | --volume] [--range START:END]\n"
                    "                      [--no-thorough] [--types LIST] [--signatures DIR] [--yes] [--json]\n"
                    "  Carves files out of raw sectors by the signatures at their start, whatever the file\n"
                    "  system says; the image is only read.\n"
                    "  --out DIR         where the carved files go: DIR/Snapmend/" +
                    std::string(mode) +
                    " Search/General (first pass) and\n"
                    "                    .../Omitted (Thorough pass), one folder per file type\n"
                    "  --partition N     carve only partition N as numbered by 'snapmend partitions'\n"
                    "  --volume          take the image as a single volume\n"
                    "  --range START:END sectors of the image (or partition) to carve, END not included\n"
                    "                    (default: all of it)\n"
                    "  --no-thorough     skip the Thorough pass\n"
                    "  --types LIST      only these types, comma-separated (default: all; for example " +
                    std::string(exampleTypes) +
                    ")\n"
                    "  --signatures DIR  read the signature databases from DIR (default: beside the program,\n"
                    "                    or $SNAPMEND_SIGNATURES)\n"
                    "  --yes             answer Retry when the medium stops answering (default: ask on a\n"
                    "                    terminal, else cancel the search)\n"
                    "  --json            print a machine-readable summary with every carved file\n"
                    "  Prints how many files of each type each pass found. Ctrl-C stops the search; the files\n"
                    "  carved so far are kept. Exit codes: 0 done, 1 stopped or the destination failed,\n"
                    "  2 bad usage or unreadable image.\n";
    return u;
}

const std::string kPhotoUsage = carveUsage("photo", "Photo", "JPG,PNG");
const std::string kVideoUsage = carveUsage("video", "Video", "MP4,MOV,AVI");
const std::string kRawUsage = carveUsage("raw", "Raw", "CR2,NEF");

const Command kCommands[] = {
    {"basic", "Basic Search: rebuild the folder tree of a FAT16, FAT32 or NTFS volume and save it",
     "usage: snapmend basic IMAGE [--partition N | --volume] [--list] [--out DIR] [--json]\n"
     "                      [--on-collision rename|overwrite|skip] [--log FILE]\n"
     "  Rebuilds the folders and files of a volume from its file system as it is found, deleted\n"
     "  entries included, and prints the recovered tree ([deleted] marks deleted items).\n"
     "  --partition N   the partition as numbered by 'snapmend partitions' (default: the first)\n"
     "  --volume        take the image as a single volume from sector 0 (automatic when sector 0\n"
     "                  is a FAT or NTFS boot sector)\n"
     "  --list          also list every folder's files: name, type, size, date and time\n"
     "  --out DIR       save everything found, deleted items included, under DIR (Root is DIR)\n"
     "  --on-collision  what to do when a saved name exists already (default: rename)\n"
     "  --json          print a machine-readable summary\n"
     "  --log FILE      write the recovery log (.QSL) of the scan to FILE, for 'snapmend load'\n"
     "  Ctrl-C stops the scan; what was found so far is still printed, saved and logged.\n"
     "  Exit codes: 0 done, 1 stopped or not fully saved, 2 bad usage or unreadable image.\n",
     runBasic},
    {"deep", "Deep Search: scan every sector for lost FAT and NTFS folders and files and save them",
     "usage: snapmend deep IMAGE --fs FAT16|FAT32|NTFS [--partition N | --volume] [--range START:END]\n"
     "                     [--list] [--out DIR] [--json] [--on-collision rename|overwrite|skip]\n"
     "                     [--log FILE]\n"
     "  Reads every sector of the range and rebuilds folders from the directory clusters and\n"
     "  boot sectors (FAT) or the MFT records (NTFS) found there, also for volumes whose boot\n"
     "  sector, FAT or MFT is gone or was re-formatted. \"Root\" holds the folders of every\n"
     "  volume found and lists their root files.\n"
     "  --fs KIND       the file system to look for (required)\n"
     "  --partition N   the partition as numbered by 'snapmend partitions'\n"
     "  --volume        take the image as a single volume from sector 0\n"
     "                  (without either, the whole image is scanned)\n"
     "  --range S:E     scan sectors S up to E (exclusive) only, numbered as on the disk for a\n"
     "                  partition or the whole image, and from the volume's start for --volume\n"
     "  --list          also list every folder's files: name, type, size, date and time\n"
     "  --out DIR       save everything found, deleted items included, under DIR (Root is DIR)\n"
     "  --on-collision  what to do when a saved name exists already (default: rename)\n"
     "  --json          print a machine-readable summary\n"
     "  --log FILE      write the recovery log (.QSL) of the scan to FILE, for 'snapmend load'\n"
     "  Ctrl-C stops the scan; what was found so far is still assembled, printed and saved.\n"
     "  Exit codes: 0 done, 1 stopped or not fully saved, 2 bad usage or unreadable image.\n",
     runDeep},
    {"load", "reload a recovery log (.QSL) against the attached media, then print and save its tree",
     "usage: snapmend load FILE.QSL [--disk PATH]... [--volume PATH]... [--list] [--out DIR] [--json]\n"
     "                      [--yes | --no] [--on-collision rename|overwrite|skip]\n"
     "  Brings back the result of an earlier 'basic' or 'deep' scan without scanning again. The\n"
     "  medium it was saved from must be attached: the disks first, in order (disk 0, 1, ...),\n"
     "  then the volumes (E:, F:, ...). The same medium under another disk number or drive\n"
     "  letter is found again after a question.\n"
     "  --disk PATH     attach an image or block device as the next physical disk\n"
     "  --volume PATH   attach a volume image as the next drive letter\n"
     "  --yes, --no     the answer to the questions (default: ask on a terminal, else No)\n"
     "  --list, --out, --on-collision, --json   as for 'snapmend basic'\n"
     "  Exit codes: 0 done, 1 refused or not fully saved, 2 bad usage, an invalid log or a\n"
     "  missing medium.\n",
     runLoad},
    {"drives", "list the removable disks and drives recovery can read, as the drive tree shows them",
     "usage: snapmend drives [--disk PATH]... [--volume PATH]... [--media FILE] [--json] [--no-search]\n"
     "  Prints the drive tree (My Computer, Physical Drives, Logical Drives, the disks with their\n"
     "  partitions, the drives) and each item's property list. Removable disks come from the\n"
     "  system (sysfs); a disk without a recognised partition is searched for lost partitions,\n"
     "  and what that finds is marked [found].\n"
     "  --disk PATH     attach an image or block device as the next physical disk (removable\n"
     "                  media, USB, 512-byte sectors, 255 heads of 63 sectors)\n"
     "  --volume PATH   attach an image or partition as the next removable drive, from E:\n"
     "  --media FILE    a JSON media description: {\"computerName\": ..., \"disks\": [{\"path\",\n"
     "                  \"model\", \"vendor\", \"revision\", \"serial\", \"bus\", \"mediaType\":\n"
     "                  \"removable\"|\"fixed\", \"bytesPerSector\", \"sectorsPerTrack\", \"heads\",\n"
     "                  \"cylinders\"}], \"volumes\": [{\"path\", \"letter\", \"label\", \"fileSystem\",\n"
     "                  \"serial\", \"freeBytes\", \"removable\"}]}; paths are relative to FILE\n"
     "  --no-search     do not search disks without partitions\n"
     "  --json          print the tree and the lists as JSON\n"
     "  Fixed disks (internal or USB hard disks) are not listed. To recover from one, attach it\n"
     "  with --disk /dev/sdX (it is then taken as removable media), or describe it in --media.\n"
     "  Ctrl-C stops the partition search; what was found so far is still listed.\n"
     "  Exit codes: 0 done, 1 stopped, 2 bad usage or an unreadable image.\n",
     runDrives},
    {"partitions", "list the partitions of a disk image or device, or search it for lost ones",
     "usage: snapmend partitions IMAGE [--search] [--json]\n"
     "       snapmend partitions --volume IMAGE --search [--json]\n"
     "  Lists the recognised FAT16, FAT32 and NTFS partitions as the drive tree shows them:\n"
     "  label, start sector, end sector and size.\n"
     "  --search        then probe the disk cylinder by cylinder for the boot sectors of lost\n"
     "                  partitions and list the new ones; a disk left without any partition\n"
     "                  becomes one whole-disk partition\n"
     "  --volume IMAGE  with --search: read a volume (a drive) for the NTFS and FAT16 boot sectors\n"
     "                  of older file systems and list them as Recognised items\n"
     "  --json          print a machine-readable list\n"
     "  Ctrl-C stops a search; what was found so far is still listed.\n",
     runPartitions},
    {"params", "print the volume parameters of a partition or volume",
     "usage: snapmend params IMAGE [--partition N] [--json]\n"
     "  Computes the layout numbers of a FAT16, FAT32 or NTFS volume from its boot sector, or\n"
     "  by scanning the volume when the boot sector of a FAT volume is unusable.\n"
     "  --partition N   the partition as numbered by 'snapmend partitions' (default: the first;\n"
     "                  the whole image when it has no partition table)\n"
     "  --json          print the parameters as JSON\n",
     runParams},
    {"photo", "Photo Search: carve pictures by their signatures", kPhotoUsage, runPhoto},
    {"video", "Video Search: carve videos by their signatures", kVideoUsage, runVideo},
    {"raw", "Raw Search: carve camera RAW files by their signatures", kRawUsage, runRaw},
};

void printMainUsage(FILE* out) {
    std::fprintf(out, "usage: snapmend COMMAND [OPTIONS]\n\nRecovers lost files from memory cards and other "
                      "removable media; the medium is only ever read.\n\nCommands:\n");
    for (const auto& c : kCommands)
        std::fprintf(out, "  %-12.*s %.*s\n", static_cast<int>(c.name.size()), c.name.data(),
                     static_cast<int>(c.summary.size()), c.summary.data());
    std::fprintf(out, "\nRun 'snapmend COMMAND --help' for a command's options.\n");
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        printMainUsage(stderr);
        return kExitUsage;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        printMainUsage(stdout);
        return kExitOk;
    }
    for (const auto& c : kCommands) {
        if (c.name != name) continue;
        Args args(std::span<char* const>(argv + 2, static_cast<std::size_t>(argc - 2)));
        if (args.flag("--help") || args.flag("-h")) {
            std::fwrite(c.usage.data(), 1, c.usage.size(), stdout);
            return kExitOk;
        }
        try {
            return c.run(args);
        } catch (const UsageError& e) {
            std::fprintf(stderr, "snapmend %s: %s\n", name.c_str(), e.what());
            return kExitUsage;
        }
    }
    std::fprintf(stderr, "snapmend: unknown command '%s' (see 'snapmend --help')\n", name.c_str());
    return kExitUsage;
}

Args::Args(std::span<char* const> argv) : m_args(argv.begin(), argv.end()), m_taken(m_args.size(), false) {}

bool Args::flag(std::string_view name) {
    bool found = false;
    for (std::size_t i = 0; i < m_args.size(); ++i)
        if (!m_taken[i] && m_args[i] == name) m_taken[i] = found = true;
    return found;
}

std::vector<std::string> Args::options(std::string_view name) {
    std::vector<std::string> values;
    for (std::size_t i = 0; i < m_args.size(); ++i) {
        if (m_taken[i] || m_args[i] != name) continue;
        if (i + 1 >= m_args.size()) throw UsageError(std::string(name) + " needs a value");
        m_taken[i] = m_taken[i + 1] = true;
        values.push_back(m_args[i + 1]);
        ++i;
    }
    return values;
}

std::optional<std::string> Args::option(std::string_view name) {
    auto values = options(name);
    if (values.size() > 1) throw UsageError(std::string(name) + " given more than once");
    if (values.empty()) return std::nullopt;
    return values.front();
}

std::vector<std::string> Args::positionals() {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < m_args.size(); ++i) {
        if (m_taken[i] || (m_args[i].size() > 1 && m_args[i][0] == '-')) continue;
        m_taken[i] = true;
        out.push_back(m_args[i]);
    }
    return out;
}

void Args::finish() const {
    for (std::size_t i = 0; i < m_args.size(); ++i)
        if (!m_taken[i]) throw UsageError("unexpected argument '" + m_args[i] + "'");
}

unsigned long parseCount(std::string_view option, const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v == 0 || text[0] == '-')
        throw UsageError(std::string(option) + " takes a number from 1 on, not '" + text + "'");
    return v;
}

} // namespace snapmend::cli

int main(int argc, char** argv) {
    try {
        return snapmend::cli::main(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "snapmend: Not Enough Memory\n");
        return snapmend::cli::kExitFailure;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "snapmend: %s\n", e.what());
        return snapmend::cli::kExitFailure;
    }
}
