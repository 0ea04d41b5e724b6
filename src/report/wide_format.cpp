#include "report/wide_format.h"

#include <cstdint>

namespace ntsnap {
namespace {

struct Conversion {
    bool left = false;
    bool plus = false;
    bool blank = false;
    bool zero = false;
    bool alternate = false;
    int width = 0;
    int precision = -1;
    bool wide64 = false;
    bool half = false;
};

void pad(WideSink sink, void* context, char16_t fill, int count) {
    char16_t run[32];
    for (int i = 0; i < 32; ++i) {
        run[i] = fill;
    }
    while (count > 0) {
        int n = count < 32 ? count : 32;
        sink(context, run, static_cast<std::size_t>(n));
        count -= n;
    }
}

// Writes `body` (length n) with an optional prefix (sign, 0x) under the width rules.
void emitField(WideSink sink, void* context, const Conversion& conv, const char16_t* prefix,
               int prefixLen, const char16_t* body, int bodyLen, bool zeroPadAllowed) {
    int total = prefixLen + bodyLen;
    int fill = conv.width > total ? conv.width - total : 0;
    if (conv.left) {
        sink(context, prefix, static_cast<std::size_t>(prefixLen));
        sink(context, body, static_cast<std::size_t>(bodyLen));
        pad(sink, context, u' ', fill);
    } else if (conv.zero && zeroPadAllowed) {
        sink(context, prefix, static_cast<std::size_t>(prefixLen));
        pad(sink, context, u'0', fill);
        sink(context, body, static_cast<std::size_t>(bodyLen));
    } else {
        pad(sink, context, u' ', fill);
        sink(context, prefix, static_cast<std::size_t>(prefixLen));
        sink(context, body, static_cast<std::size_t>(bodyLen));
    }
}

void emitInteger(WideSink sink, void* context, const Conversion& conv, std::uint64_t magnitude,
                 bool negative, bool isSigned, unsigned base, bool upper) {
    const char16_t* digitsOf = upper ? u"0123456789ABCDEF" : u"0123456789abcdef";
    char16_t digits[96];
    int n = 0;
    char16_t reversed[64];
    int r = 0;
    while (magnitude != 0) {
        reversed[r++] = digitsOf[magnitude % base];
        magnitude /= base;
    }
    int minDigits = conv.precision < 0 ? 1 : conv.precision;
    if (minDigits > 64) {
        minDigits = 64;
    }
    for (int i = r; i < minDigits; ++i) {
        digits[n++] = u'0';
    }
    while (r > 0) {
        digits[n++] = reversed[--r];
    }
    char16_t prefix[3];
    int prefixLen = 0;
    if (isSigned) {
        if (negative) {
            prefix[prefixLen++] = u'-';
        } else if (conv.plus) {
            prefix[prefixLen++] = u'+';
        } else if (conv.blank) {
            prefix[prefixLen++] = u' ';
        }
    }
    if (conv.alternate && base == 16 && n > 0 && !(n == 1 && digits[0] == u'0')) {
        prefix[prefixLen++] = u'0';
        prefix[prefixLen++] = upper ? u'X' : u'x';
    }
    emitField(sink, context, conv, prefix, prefixLen, digits, n, conv.precision < 0);
}

std::size_t wideLength(const char16_t* text) {
    std::size_t n = 0;
    while (text[n] != 0) {
        ++n;
    }
    return n;
}

} // namespace

void formatWide(WideSink sink, void* context, const char16_t* format, std::va_list args) {
    const char16_t* p = format;
    while (*p != 0) {
        const char16_t* run = p;
        while (*p != 0 && *p != u'%') {
            ++p;
        }
        if (p != run) {
            sink(context, run, static_cast<std::size_t>(p - run));
        }
        if (*p == 0) {
            break;
        }
        const char16_t* start = p++; // at the %
        Conversion conv;
        for (;; ++p) {
            if (*p == u'-') {
                conv.left = true;
            } else if (*p == u'+') {
                conv.plus = true;
            } else if (*p == u' ') {
                conv.blank = true;
            } else if (*p == u'0') {
                conv.zero = true;
            } else if (*p == u'#') {
                conv.alternate = true;
            } else {
                break;
            }
        }
        if (*p == u'*') {
            int w = va_arg(args, int);
            if (w < 0) {
                conv.left = true;
                w = w == INT32_MIN ? INT32_MAX : -w;
            }
            conv.width = w;
            ++p;
        } else {
            while (*p >= u'0' && *p <= u'9') {
                conv.width = conv.width < 100000 ? conv.width * 10 + (*p - u'0') : conv.width;
                ++p;
            }
        }
        if (*p == u'.') {
            ++p;
            conv.precision = 0;
            if (*p == u'*') {
                int q = va_arg(args, int);
                conv.precision = q < 0 ? -1 : q;
                ++p;
            } else {
                while (*p >= u'0' && *p <= u'9') {
                    conv.precision = conv.precision < 100000 ? conv.precision * 10 + (*p - u'0')
                                                             : conv.precision;
                    ++p;
                }
            }
        }
        for (;;) {
            if (*p == u'l') {
                if (p[1] == u'l') {
                    conv.wide64 = true;
                    ++p;
                }
                ++p;
            } else if (*p == u'h') {
                conv.half = true;
                ++p;
            } else if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4') {
                conv.wide64 = true;
                p += 3;
            } else {
                break;
            }
        }
        char16_t conversion = *p;
        if (conversion == 0) {
            break;
        }
        ++p;
        switch (conversion) {
        case u'%':
            sink(context, u"%", 1);
            break;
        case u'd':
        case u'i': {
            std::int64_t value;
            if (conv.wide64) {
                value = va_arg(args, long long);
            } else {
                value = va_arg(args, int);
                if (conv.half) {
                    value = static_cast<std::int16_t>(value);
                }
            }
            bool negative = value < 0;
            std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(value)
                                               : static_cast<std::uint64_t>(value);
            emitInteger(sink, context, conv, magnitude, negative, true, 10, false);
            break;
        }
        case u'u':
        case u'x':
        case u'X':
        case u'o': {
            std::uint64_t value;
            if (conv.wide64) {
                value = va_arg(args, unsigned long long);
            } else {
                value = va_arg(args, unsigned int);
                if (conv.half) {
                    value = static_cast<std::uint16_t>(value);
                }
            }
            unsigned base = conversion == u'u' ? 10 : conversion == u'o' ? 8 : 16;
            emitInteger(sink, context, conv, value, false, false, base, conversion == u'X');
            break;
        }
        case u'p': {
            std::uint32_t value = va_arg(args, std::uint32_t);
            char16_t digits[8];
            for (int i = 7; i >= 0; --i) {
                digits[i] = u"0123456789ABCDEF"[value & 0xF];
                value >>= 4;
            }
            emitField(sink, context, conv, u"", 0, digits, 8, false);
            break;
        }
        case u'c': {
            char16_t c = static_cast<char16_t>(va_arg(args, int));
            emitField(sink, context, conv, u"", 0, &c, 1, false);
            break;
        }
        case u's': {
            const char16_t* text = va_arg(args, const char16_t*);
            if (text == nullptr) {
                text = u"(null)";
            }
            std::size_t n = 0;
            if (conv.precision < 0) {
                n = wideLength(text);
            } else {
                while (n < static_cast<std::size_t>(conv.precision) && text[n] != 0) {
                    ++n;
                }
            }
            // The width pads short texts; a long one goes out whole.
            int fill = conv.width > 0 && n < static_cast<std::size_t>(conv.width)
                           ? conv.width - static_cast<int>(n)
                           : 0;
            if (!conv.left) {
                pad(sink, context, u' ', fill);
            }
            sink(context, text, n);
            if (conv.left) {
                pad(sink, context, u' ', fill);
            }
            break;
        }
        default:
            sink(context, start, static_cast<std::size_t>(p - start));
            break;
        }
    }
}

namespace {

struct BufferSink {
    char16_t* buffer;
    std::size_t capacity;
    std::size_t length;
};

void toBuffer(void* context, const char16_t* text, std::size_t count) {
    auto* out = static_cast<BufferSink*>(context);
    std::size_t room = out->capacity - 1 - out->length;
    std::size_t n = count < room ? count : room;
    for (std::size_t i = 0; i < n; ++i) {
        out->buffer[out->length + i] = text[i];
    }
    out->length += n;
}

} // namespace

int formatWideToBuffer(char16_t* buffer, std::size_t capacity, const char16_t* format,
                       std::va_list args) {
    BufferSink out{buffer, capacity, 0};
    formatWide(toBuffer, &out, format, args);
    buffer[out.length] = 0;
    return static_cast<int>(out.length);
}

} // namespace ntsnap
