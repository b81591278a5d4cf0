// A fixture giving each test its own empty directory, removed afterwards.
// Derived fixtures that override SetUp/TearDown must call these first/last.
#pragma once

#include <gtest/gtest.h>

#include <string>

class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

public:
    // A fresh directory under $TMPDIR (else /tmp), created in SetUp.
    const std::string& Sandbox() const { return sandbox_; }
    // Sandbox() + "/" + relative.
    std::string SandboxPath(const std::string& relative) const;

    // Helpers for tests: whole-file read and write through the real platform.
    static std::string ReadFile(const std::string& path);
    static void WriteFile(const std::string& path, const std::string& content);

private:
    std::string sandbox_;
};
