// SPDX-License-Identifier: BSD-2-Clause
// Runs the option scanner in-process on a fresh run_state.
#pragma once

#include "cmdline/options.hpp"
#include "state/run_state.hpp"
#include "support/reset_run_state.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

class scan_test : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_run_state();
    }
    void TearDown() override {
        reset_run_state();
    }
    scan_result scan(std::vector<std::string> words) {
        words.insert(words.begin(), "ferrox");
        std::vector<char*> argv;
        for (auto& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        arguments_ = std::move(words);
        return scan_arguments(static_cast<int>(argv.size() - 1), argv.data());
    }

  private:
    std::vector<std::string> arguments_;
};

inline std::string text_or_null(const char* text) {
    return text == nullptr ? "(null)" : text;
}
