#pragma once
// The transport reports failures as thrown 32-bit codes; tests compare the code, not the throw.
#include <functional>

// The code the call throws, or -1 when it returns.
inline long CodeOf(const std::function<void()>& call) {
    try {
        call();
    } catch (long code) {
        return code;
    }
    return -1;
}
