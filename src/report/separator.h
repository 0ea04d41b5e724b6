// The lines of "=" that frame the report banners.
#pragma once

#include <cstddef>

namespace ntsnap {

template <std::size_t N> struct SeparatorLine { char16_t text[N + 1]; };

template <std::size_t N> constexpr SeparatorLine<N> separatorLine() {
    SeparatorLine<N> line{};
    for (std::size_t i = 0; i < N; ++i) {
        line.text[i] = u'=';
    }
    line.text[N] = 0;
    return line;
}

} // namespace ntsnap
