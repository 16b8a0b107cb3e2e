#include "library/versioned.h"

pcmtaper_status check_struct_size(const void* bytes, std::size_t struct_size, std::size_t first_size,
                                  std::size_t known_size) {
    if (struct_size < first_size) return PCMTAPER_ERROR_INVALID_ARGUMENT;
    if (bytes == nullptr) return PCMTAPER_OK;
    const auto* b = static_cast<const unsigned char*>(bytes);
    for (std::size_t i = known_size; i < struct_size; ++i)
        if (b[i] != 0) return PCMTAPER_ERROR_UNSUPPORTED_CONFIG;
    return PCMTAPER_OK;
}
