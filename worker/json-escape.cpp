// Escaping text for a JSON string. Token texts are pieces of bytes: a
// character split across two tokens, or a stray byte, would make the answer
// line invalid UTF-8 and so invalid JSON for a strict parent. Each invalid
// sequence becomes U+FFFD; valid UTF-8 passes through untouched.

#include "worker.h"

#include <cstdio>

namespace {

const char REPLACEMENT_CHARACTER[] = "\xEF\xBF\xBD";

// Length of the UTF-8 sequence at s[0] (which is 0x80 or above), with at
// most `avail` bytes present. When it is not valid, `valid` is false and the
// length is that of its longest start that could still have become valid
// (at least 1): one replacement per such piece, as decoders of the web do.
size_t utf8_sequence(const unsigned char * s, size_t avail, bool & valid) {
    const unsigned char c = s[0];
    size_t        len;
    unsigned char lo = 0x80, hi = 0xBF; // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0) {
            lo = 0xA0; // no overlong forms
        } else if (c == 0xED) {
            hi = 0x9F; // no surrogates
        }
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0) {
            lo = 0x90; // no overlong forms
        } else if (c == 0xF4) {
            hi = 0x8F; // nothing above U+10FFFF
        }
    } else {
        // continuation bytes, C0, C1 and F5 to FF never start a character
        valid = false;
        return 1;
    }
    for (size_t k = 1; k < len; ++k) {
        const bool in_range = k < avail && (k == 1 ? s[k] >= lo && s[k] <= hi : s[k] >= 0x80 && s[k] <= 0xBF);
        if (!in_range) {
            valid = false;
            return k;
        }
    }
    valid = true;
    return len;
}

} // namespace

std::string json_escape(const std::string & text) {
    std::string out;
    out.reserve(text.size() + 8);
    const unsigned char * s = (const unsigned char *) text.data();
    const size_t          n = text.size();
    size_t                i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        if (c >= 0x80) {
            bool         valid;
            const size_t len = utf8_sequence(s + i, n - i, valid);
            if (valid) {
                out.append((const char *) s + i, len);
            } else {
                out.append(REPLACEMENT_CHARACTER);
            }
            i += len;
            continue;
        }
        switch (c) {
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '"':  out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    snprintf(buf, sizeof(buf), "\\u%04x", c);
                    out += buf;
                } else {
                    out += (char) c;
                }
        }
        ++i;
    }
    return out;
}
