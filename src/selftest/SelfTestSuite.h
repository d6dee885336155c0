#pragma once

#include <QString>

// The command-line test modes. Each returns the process exit status.
namespace SelfTestSuite {

int runAll();
int runDualASRSmokeBenchmark();
int runEmpiricalABVerification(const QString& wavPath);

} // namespace SelfTestSuite
