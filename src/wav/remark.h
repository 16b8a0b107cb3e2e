// Remarks as the WAV code makes them: a code with its numbers and names
// (pcmtaper_remark), never text; pcmtaper_format_remark makes the line.
//
// Usage: pcmtaper_remark r = make_remark(PCMTAPER_REMARK_INPUT_ENDED);
//        r.blocks_read = ...; list->push_back(r);
#pragma once

#include <cstring>
#include <vector>

#include "pcmtaper/pcmtaper.h"

using remark_list = std::vector<pcmtaper_remark>;

inline pcmtaper_remark make_remark(pcmtaper_remark_code code, pcmtaper_status status = PCMTAPER_OK) {
    pcmtaper_remark r;
    std::memset(&r, 0, sizeof r);
    r.struct_size = sizeof r;
    r.code = code;
    r.status = status;
    return r;
}

// A remark about a chunk: its id as read and its name as the line shows it
// (cut to fit).
inline pcmtaper_remark chunk_remark(pcmtaper_remark_code code, const char id[4], const char* shown) {
    pcmtaper_remark r = make_remark(code);
    std::memcpy(r.chunk_id, id, sizeof r.chunk_id);
    std::strncpy(r.chunk_name, shown, sizeof r.chunk_name - 1);
    return r;
}
