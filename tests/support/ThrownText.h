#pragma once
// The text of the exception of type E an action throws, or a note that it threw none.

#include <functional>
#include <string>

template <class E>
std::string ThrownText(const std::function<void()>& action)
{
    try {
        action();
    } catch (const E& e) {
        return e.what();
    }
    return "(nothing thrown)";
}
