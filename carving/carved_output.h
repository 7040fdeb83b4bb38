// Names and places of carved files: the name formats, the folder tree under the destination
// (destination/Snapmend/<mode> Search/General|Omitted/<type>/<name>), the numbering of each mode,
// and the creation of the files themselves.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "saving/save_context.h"

namespace snapmend::carving {

enum class CarveMode : std::uint8_t { Photo, Video, Raw };
enum class CarvePass : std::uint8_t { General, Thorough };

inline constexpr std::string_view kProductFolder = "Snapmend";
inline constexpr std::string_view kGeneralFolder = "General";
inline constexpr std::string_view kThoroughFolder = "Omitted";
inline constexpr std::string_view kPhotoGeneralPrefix = "GNDR";
inline constexpr std::string_view kPhotoThoroughPrefix = "THDR";

// "Photo", "Video", "Raw".
std::string_view modeWord(CarveMode mode);
// "Photo Search", "Video Search", "Raw Search".
std::string_view modeFolder(CarveMode mode);
// "General" or "Omitted".
std::string_view passFolder(CarvePass pass);

// prefix, the number with at least five digits, suffix, ".", extension (a leading dot dropped).
std::string carvedFileName(std::string_view prefix, std::string_view extension, std::string_view suffix,
                           std::uint64_t number);
// The type folder a name belongs in: its extension, plus "_..." when the part before the last
// "." holds an "_" after its first character.
std::string carvedTypeFolder(std::string_view fileName);
// destination, "/" unless it ends in one, then Snapmend, mode folder, pass folder, type folder and
// the file name, each separated by one "/".
std::string carvedFilePath(std::string_view destination, std::string_view modeFolderName,
                           std::string_view passFolderName, std::string_view fileName);
std::string resultsLocationText(std::string_view modeWordText);

// The folder "Open Containing Folder" opens: destination/Snapmend/<mode> Search, which holds both
// the General and the Omitted results.
std::string containingFolder(std::string_view destination, CarveMode mode);

// Names the files of one search. Photo: one counter per pass from 1, prefix GNDR or THDR, the
// extension as in the database. Video and Raw: one number per extension (upper case, no dot) that
// runs on from the General into the Thorough pass.
class CarvedNamer {
public:
    explicit CarvedNamer(CarveMode mode) : m_mode(mode) {}
    // Called at the start of each pass: the Photo counter starts again.
    void startPass(CarvePass pass);
    std::string nameFor(std::string_view extension);
    // The last number used for an extension (Video and Raw).
    std::uint64_t lastFileNo(std::string_view extension) const;
    std::uint64_t photoCounter() const { return m_photoCounter; }

private:
    CarveMode m_mode;
    CarvePass m_pass = CarvePass::General;
    std::uint64_t m_photoCounter = 0;
    std::map<std::string, std::uint64_t> m_lastFileNo;
};

// Creates a new file for writing and never replaces anything: returns null with errno EEXIST when
// the path is taken. Test seam for a full or failing destination.
using CarvedFileCreator = std::function<saving::OpenedOutput(const std::string& path)>;
saving::OpenedOutput createExclusive(const std::string& path);

struct CreatedCarvedFile {
    std::unique_ptr<saving::OutputFile> file;  // null on failure
    std::string path;
    int error = 0;
};

// The output tree of one search under the user's destination.
class CarvedOutputTree {
public:
    CarvedOutputTree(std::string destination, CarveMode mode, CarvedFileCreator create = createExclusive);

    // Creates the type folder on demand and the file in it. A taken name becomes the first free
    // "_dd_N" variant in the same folder, so a second search into the same destination loses nothing.
    CreatedCarvedFile create(CarvePass pass, const std::string& fileName);

    CarveMode mode() const { return m_mode; }
    const std::string& destination() const { return m_destination; }

private:
    std::string m_destination;
    CarveMode m_mode;
    CarvedFileCreator m_create;
};

} // namespace snapmend::carving
