// One pass over an INI file that locates [DB] Version by offsets, for reading and editing alike.
#pragma once

#include "version/ini.h"

#include <cstdint>

namespace kestrival::version {

enum class TextEncoding { Bytes, Utf16Le, Utf16Be };
enum class LineEnd { None, Lf, Cr, CrLf };

// Where things stand in the file, as byte offsets. The scan keeps no text, only positions, so
// it holds one read window whatever the file's size.
struct IniScan {
    std::uint64_t size = 0;
    TextEncoding encoding = TextEncoding::Bytes;
    std::uint64_t body_begin = 0; // after the byte-order mark
    LineEnd first_line_end = LineEnd::None; // a CR before NUL, LF counts as CRLF

    bool has_section = false; // a first [DB] exists
    bool has_key = false; // ... and holds a Version line
    bool key_has_eq = false; // the Version line has a '=' (else it is a bare name)
    std::uint64_t key_content_end = 0; // after the key line's last non-blank unit

    // The value's bytes an edit replaces: after '=' and leading blanks, up to the line's
    // trailing blanks, quotes and anything after a NUL included.
    std::uint64_t value_begin = 0;
    std::uint64_t value_end = 0;
    // The value a read returns before the length cut: up to a NUL, trimmed, quotes removed.
    std::uint64_t read_begin = 0;
    std::uint64_t read_end = 0;
    bool read_is_utf8 = true; // [read_begin, read_end) is valid UTF-8 (byte files)

    // Without a key: where a new Version line goes, after the terminator of the section's last
    // line that is neither blank nor a comment (or of its header); whether that line lacked one.
    std::uint64_t insert_at = 0;
    bool insert_after_unterminated = false;

    // Without a section: whether the file's last line has text but no line break.
    bool ends_unterminated = false;
};

// Scans `source` up to the end of the first [DB] Version line, or of the first [DB] section
// when it has no such line, or of the file when it has no such section.
[[nodiscard]] IniScan scan_ini(const ByteSource &source);

// Bytes of the file's encoding per unit: 1, or 2 for UTF-16.
[[nodiscard]] constexpr unsigned unit_width(TextEncoding e) { return e == TextEncoding::Bytes ? 1 : 2; }

} // namespace kestrival::version
