#include "carving/carved_output.h"

#include <cctype>
#include <cstdio>
#include <filesystem>

#include "saving/collision_name.h"
#include "saving/safe_name.h"

namespace snapmend::carving {

namespace {

std::string upperNoDot(std::string_view extension) {
    if (!extension.empty() && extension.front() == '.') extension.remove_prefix(1);
    std::string out(extension);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// How many "_dd_N" variants are tried before a create failure is taken as the destination's fault.
constexpr int kMaxCollisionTries = 16;

} // namespace

std::string_view modeWord(CarveMode mode) {
    switch (mode) {
        case CarveMode::Photo: return "Photo";
        case CarveMode::Video: return "Video";
        case CarveMode::Raw: return "Raw";
    }
    return "Photo";
}

std::string_view modeFolder(CarveMode mode) {
    switch (mode) {
        case CarveMode::Photo: return "Photo Search";
        case CarveMode::Video: return "Video Search";
        case CarveMode::Raw: return "Raw Search";
    }
    return "Photo Search";
}

std::string_view passFolder(CarvePass pass) { return pass == CarvePass::General ? kGeneralFolder : kThoroughFolder; }

std::string carvedFileName(std::string_view prefix, std::string_view extension, std::string_view suffix,
                           std::uint64_t number) {
    if (!extension.empty() && extension.front() == '.') extension.remove_prefix(1);
    char digits[32];
    std::snprintf(digits, sizeof digits, "%05llu", static_cast<unsigned long long>(number));
    std::string name;
    name.reserve(prefix.size() + suffix.size() + extension.size() + 24);
    name.append(prefix).append(digits).append(suffix).append(".").append(extension);
    return name;
}

std::string carvedTypeFolder(std::string_view fileName) {
    const auto dot = fileName.rfind('.');
    if (dot == std::string_view::npos) return {};
    std::string folder(fileName.substr(dot + 1));
    const std::string_view stem = fileName.substr(0, dot);
    const auto underscore = stem.find('_');
    if (underscore != std::string_view::npos && underscore != 0) folder.append(stem.substr(underscore));
    return folder;
}

std::string carvedFilePath(std::string_view destination, std::string_view modeFolderName,
                           std::string_view passFolderName, std::string_view fileName) {
    std::string path(destination);
    if (path.empty() || path.back() != '/') path += '/';
    path.append(kProductFolder).append("/").append(modeFolderName).append("/").append(passFolderName).append("/");
    path.append(carvedTypeFolder(fileName)).append("/").append(fileName);
    return path;
}

std::string resultsLocationText(std::string_view word) {
    std::string text = "The results of Primary Scanning are saved in folder: Snapmend >> ";
    text.append(word).append(
        " Search >> General, in selected location by user and (if selected) Thorough Scanning results are saved in "
        "folder: Snapmend >> ");
    text.append(word).append(" Search >> Omitted, in the same path.");
    return text;
}

std::string containingFolder(std::string_view destination, CarveMode mode) {
    std::string path(destination);
    if (path.empty() || path.back() != '/') path += '/';
    path.append(kProductFolder).append("/").append(modeFolder(mode));
    return path;
}

void CarvedNamer::startPass(CarvePass pass) {
    m_pass = pass;
    m_photoCounter = 0;
}

std::string CarvedNamer::nameFor(std::string_view extension) {
    if (m_mode == CarveMode::Photo) {
        ++m_photoCounter;
        return carvedFileName(m_pass == CarvePass::General ? kPhotoGeneralPrefix : kPhotoThoroughPrefix, extension, "",
                              m_photoCounter);
    }
    const std::string key = upperNoDot(extension);
    const std::uint64_t number = ++m_lastFileNo[key];
    return carvedFileName(key, key, "", number);
}

std::uint64_t CarvedNamer::lastFileNo(std::string_view extension) const {
    const auto it = m_lastFileNo.find(upperNoDot(extension));
    return it == m_lastFileNo.end() ? 0 : it->second;
}

saving::OpenedOutput createExclusive(const std::string& path) { return saving::openNewPosixOutput(path); }

CarvedOutputTree::CarvedOutputTree(std::string destination, CarveMode mode, CarvedFileCreator create)
    : m_destination(std::move(destination)), m_mode(mode), m_create(create ? std::move(create) : createExclusive) {}

CreatedCarvedFile CarvedOutputTree::create(CarvePass pass, const std::string& fileName) {
    // Extensions come from the database: keep every component a plain name under the destination.
    const std::string name = saving::safeComponent(fileName);
    const std::string typeFolder = saving::safeComponent(carvedTypeFolder(name));
    std::string path = carvedFilePath(m_destination, modeFolder(m_mode), passFolder(pass), name);
    const std::string folder = path.substr(0, path.rfind('/'));
    if (carvedTypeFolder(name) != typeFolder) path = folder.substr(0, folder.rfind('/') + 1) + typeFolder + "/" + name;

    CreatedCarvedFile created;
    std::error_code ec;
    std::filesystem::create_directories(path.substr(0, path.rfind('/')), ec);
    if (ec) {
        created.error = ec.value();
        return created;
    }
    std::string candidate = path;
    for (int attempt = 0; attempt < kMaxCollisionTries; ++attempt) {
        auto opened = m_create(candidate);
        if (opened.file) {
            created.file = std::move(opened.file);
            created.path = candidate;
            return created;
        }
        created.error = opened.error != 0 ? opened.error : EIO;
        if (created.error != EEXIST) return created;
        candidate = saving::BuildCollisionName(path, 1);
    }
    return created;
}

} // namespace snapmend::carving
