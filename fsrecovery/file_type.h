// The "Type" column of the item lists: a descriptive text for a file's extension, shared by the
// FAT and NTFS listings.
#pragma once

#include <string>
#include <string_view>

namespace snapmend::fsrecovery {

// The name's extension with its dot ("photo.jpg" gives ".jpg"), or empty. A blank or backslash
// after the last dot means the name has no extension.
std::string_view fileExtension(std::string_view fileName);

// "Image File" for ".jpg" or ".JPG", "File" for no extension, and "<EXT> File" for an extension
// the table does not know. Keys match in their all-upper or all-lower spelling only.
std::string FileTypeText(std::string_view extensionWithDot, std::string_view fileName);

} // namespace snapmend::fsrecovery
