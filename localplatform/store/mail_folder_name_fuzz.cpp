// Folder names found on disk or sent by a server: decoding takes any bytes,
// and a decoded name encodes to a form that decodes to it again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "localplatform/store/mail_folder_name.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto decoded = localplatform::DecodeMailFolderName(text);
    if (!decoded) return 0;
    const auto encoded = localplatform::EncodeMailFolderName(*decoded);
    if (!encoded || localplatform::DecodeMailFolderName(*encoded) != decoded) std::abort();
    return 0;
}
