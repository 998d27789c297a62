#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace vd {

// Checks documents the driver writes with xmllint (Debian package
// libxml2-utils, installed by scripts/setup.sh), a parser independent of the
// one the driver uses, so that a fault shared by our writer and our reader
// cannot hide.
//
// Each check runs "xmllint --noout --nonet" on one file through the shell,
// bounded by coreutils' timeout, and reads at most a few kilobytes of its
// messages. Safe to call from any thread.

// Whether xmllint can be run at all.
bool XmlLintAvailable();

// Success when xmllint reads the file as well-formed XML (encoding included);
// otherwise a failure with xmllint's messages, or with what to install when
// xmllint is missing.
testing::AssertionResult XmlLintFile(const std::string& path);

// Writes text to a new file in dir (ending with "/") named name and checks
// it as XmlLintFile does.
testing::AssertionResult XmlLintText(std::string_view text, const std::string& dir,
                                     const std::string& name);

}  // namespace vd
