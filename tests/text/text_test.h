// Helpers of the text handler tests.
#pragma once

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "tests/fake/fake_platform.h"
#include "tests/fake/story.h"

namespace orv::text::test {

using fake::expect_logged;

// Timeline or log entries written as one text with '|' between them.
inline fake::Lines lines(std::string_view text) {
    return fake::split(text);
}

}  // namespace orv::text::test
