#pragma once

#include "audio/VolcSeedASRClient.h"

#include <QString>
#include <functional>
#include <memory>

class SecretStore;

// The command-line test modes. They run before any window exists and return the process exit status.
namespace SelfTestSuite {

// Writes one whole output line (no line feed in `line`).
using PrintLine = std::function<void(const QString& line)>;
// Standard output, one write and flush per line.
PrintLine standardOutput();

// The regression suite: every check over the real components, then the summary. No keyring, network,
// microphone or display. 0 when every check passed, else 1.
int runAll(const PrintLine& print = standardOutput());

// What the two speech modes reach outside the process.
struct SpeechBenchContext {
    std::shared_ptr<SecretStore> keyring; // read only, each read bounded in time
    VolcSeedASRClient::Endpoint seedASR = VolcSeedASRClient::Endpoint::volcengine();
    PrintLine print = standardOutput();
};

// The Seed-ASR service, or the address in QUORBELL_SEEDASR_URL (ws:// or wss://) for tests against a
// local server; the warm-up goes to that address's host root.
VolcSeedASRClient::Endpoint seedASREndpointFromEnvironment();

// Both modes need a QCoreApplication: their network clients run on its event loop.
// Local model load and inference, then (with a stored speech key) one streamed Seed-ASR session.
int runDualASRSmokeBenchmark(const SpeechBenchContext& context);
// The recording streamed three times to Seed-ASR with more and more context, then one polishing pass.
int runEmpiricalABVerification(const QString& wavPath, const SpeechBenchContext& context);

} // namespace SelfTestSuite
