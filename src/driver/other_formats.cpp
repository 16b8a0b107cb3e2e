#include "other_formats.h"

#include <cstring>

bool starts_as_wav(const unsigned char* bytes, std::size_t length) {
    if (length < 4) return false;
    for (const char* id : {"RIFF", "RF64", "BW64"})
        if (std::memcmp(bytes, id, 4) == 0) return true;
    return false;
}

std::string formats_read_lines(const std::string& indent) {
    constexpr std::size_t width = 78;
    const std::string decoder = decoder_version();
    const std::string text = "Formats read: " + readable_formats() +
                             (decoder.empty() ? std::string(" (built without libsndfile)")
                                              : " (all but WAV through " + decoder + ", from a file, not a pipe)");
    std::string lines, line = indent;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(' ', at);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(at, end - at);
        if (line.size() > indent.size() && line.size() + 1 + word.size() > width) {
            lines += line + "\r\n";
            line = indent;
        }
        line += (line.size() > indent.size() ? " " : "") + word;
        at = end + 1;
    }
    return lines + line + "\r\n";
}

std::string not_wav_hint(const std::string& input_name, bool from_pipe) {
    const std::string name = input_name == "-" ? std::string("standard input") : input_name;
    if (decoder_version().empty()) return name + " is not a WAV file; this build reads WAV only (built without libsndfile)";
    if (from_pipe)
        return name + " is not a WAV file; from a pipe this build reads WAV only: give a file name for the other " +
               "formats it reads (see --help), as their decoder seeks in the file";
    return name + " is neither a WAV file nor another format this build reads: " + readable_formats();
}
