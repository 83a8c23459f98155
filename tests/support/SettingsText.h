#pragma once
// Loads a program's settings from a text written to a temporary settings file.

#include "support/StdoutCapture.h"
#include "support/TempFile.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

/// Loads `text` into `settings` (either program's CSettings), expects the given result and
/// returns what was printed meanwhile.
template <typename Settings>
std::string LoadSettingsText(Settings& settings, std::string_view text, bool expected)
{
    CTempFile file(text);
    CStdoutCapture capture;
    EXPECT_EQ(settings.LoadFrom(file.Path()), expected) << text;
    return capture.Take();
}
