// The structs that cross the C API, by their struct_size: what this version
// reads of a caller's struct, what it writes back, and the one rule for a
// size it refuses.
//
// Usage: pcmtaper_reader known;
//        if (const pcmtaper_status s = read_versioned(caller, &known); s != PCMTAPER_OK) return s;
//        ... write_versioned(plan, caller_plan) copies as far as the caller's struct_size
#pragma once

#include <cstddef>
#include <cstring>

#include "pcmtaper/pcmtaper.h"

// The size of a struct's first layout in this major version: up to the end
// of its last field then, without the tail padding. Any struct_size from
// there holds every field a caller of this major version sets. A field added
// later goes at or past the previous layout's sizeof, never into its tail
// padding: an older caller's struct_size covers those bytes, which it never set.
#define PCMTAPER_FIRST_LAYOUT(type, last_field) (offsetof(type, last_field) + sizeof(type::last_field))

inline constexpr std::size_t config_first_size = PCMTAPER_FIRST_LAYOUT(pcmtaper_config, threads);
inline constexpr std::size_t reader_first_size = PCMTAPER_FIRST_LAYOUT(pcmtaper_reader, seek);
inline constexpr std::size_t writer_first_size = PCMTAPER_FIRST_LAYOUT(pcmtaper_writer, user);
inline constexpr std::size_t events_first_size = PCMTAPER_FIRST_LAYOUT(pcmtaper_wav_events, skip_progress);
inline constexpr std::size_t plan_first_size = PCMTAPER_FIRST_LAYOUT(pcmtaper_wav_plan, audible_end);
inline constexpr std::size_t wav_header_first_size = PCMTAPER_FIRST_LAYOUT(pcmtaper_wav_header, remark_count);
inline constexpr std::size_t wav_8_bit_header_first_size =
    PCMTAPER_FIRST_LAYOUT(pcmtaper_wav_8_bit_header, samples_known);
inline constexpr std::size_t block_report_first_size = PCMTAPER_FIRST_LAYOUT(pcmtaper_block_report, step_highest);
inline constexpr std::size_t remark_first_size = PCMTAPER_FIRST_LAYOUT(pcmtaper_remark, positions_clamped);
inline constexpr std::size_t input_stats_first_size = PCMTAPER_FIRST_LAYOUT(pcmtaper_input_stats, peak);

template <class T> constexpr std::size_t first_size_of();
template <> constexpr std::size_t first_size_of<pcmtaper_config>() { return config_first_size; }
template <> constexpr std::size_t first_size_of<pcmtaper_reader>() { return reader_first_size; }
template <> constexpr std::size_t first_size_of<pcmtaper_writer>() { return writer_first_size; }
template <> constexpr std::size_t first_size_of<pcmtaper_wav_events>() { return events_first_size; }
template <> constexpr std::size_t first_size_of<pcmtaper_wav_plan>() { return plan_first_size; }
template <> constexpr std::size_t first_size_of<pcmtaper_wav_header>() { return wav_header_first_size; }
template <> constexpr std::size_t first_size_of<pcmtaper_wav_8_bit_header>() { return wav_8_bit_header_first_size; }
template <> constexpr std::size_t first_size_of<pcmtaper_block_report>() { return block_report_first_size; }
template <> constexpr std::size_t first_size_of<pcmtaper_remark>() { return remark_first_size; }
template <> constexpr std::size_t first_size_of<pcmtaper_input_stats>() { return input_stats_first_size; }

// The one rule for every versioned struct: a struct_size below its first
// layout (0 included) is refused, since the struct cannot hold the fields
// every caller of this major version sets. Given the caller's struct itself
// (`bytes`, struct_size of them; null for one the library only writes), its
// bytes past `known_size` (a later version's fields) must be zero: this
// version cannot do what they ask.
pcmtaper_status check_struct_size(const void* bytes, std::size_t struct_size, std::size_t first_size,
                                  std::size_t known_size);

// A struct the caller fills, as this version knows it: the fields inside
// the caller's struct_size, the others zero (null, or their default), and
// struct_size this version's own.
template <class T>
pcmtaper_status read_versioned(const T* caller, T* known) {
    if (caller == nullptr) return PCMTAPER_ERROR_INVALID_ARGUMENT;
    const std::size_t size = caller->struct_size;
    const pcmtaper_status checked = check_struct_size(caller, size, first_size_of<T>(), sizeof(T));
    if (checked != PCMTAPER_OK) return checked;
    std::memset(static_cast<void*>(known), 0, sizeof(T));
    std::memcpy(static_cast<void*>(known), caller, size < sizeof(T) ? size : sizeof(T));
    known->struct_size = sizeof(T);
    return PCMTAPER_OK;
}

// A struct the caller receives: checks the size it set, and nothing else.
template <class T>
pcmtaper_status check_receiving(const T* caller) {
    if (caller == nullptr) return PCMTAPER_ERROR_INVALID_ARGUMENT;
    return check_struct_size(nullptr, caller->struct_size, first_size_of<T>(), sizeof(T));
}

// Copies `full` into the caller's struct as far as its struct_size (checked
// by check_receiving), leaving its struct_size as it was.
template <class T>
void write_versioned(const T& full, T* caller) {
    const std::size_t size = caller->struct_size < sizeof(T) ? caller->struct_size : sizeof(T);
    constexpr std::size_t after_size = sizeof(std::size_t);
    std::memcpy(reinterpret_cast<unsigned char*>(caller) + after_size,
                reinterpret_cast<const unsigned char*>(&full) + after_size, size - after_size);
}
