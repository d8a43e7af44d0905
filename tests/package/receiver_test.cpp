// The package on a receiver: its own wget, built for the oldest MIPS cores,
// fetching over HTTPS with the CA bundle it finds by itself; and the whole
// package on a blank disk, its own TAP in the receiver build of the
// emulator, playing a live channel over HTTPS and one over plain HTTP.
//
// The MIPS programs run under qemu-mipsel: the wget by name here, and by
// the kernel (binfmt_misc, scripts/mips-binfmt.sh) when the TAP's shell
// starts it, so that it keeps its name and the TAP can stop it by name.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "emulator/core/sandbox.h"
#include "package/package_support.h"
#include "support/hls_server.h"
#include "support/stream_check.h"
#include "support/testing.h"

using namespace orvado_test;

namespace {

const std::string kSettings = "/ProgramFiles/Settings/orvado";

// The running process's exit status of `command`, or -1.
int statusOf(const std::string& command) {
  int status = system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A receiver's environment names no certificate places of its own; a PC's
// may (OpenSSL would read those instead of its built-in ones).
const std::string kReceiverEnv = "env -u SSL_CERT_FILE -u SSL_CERT_DIR ";

}  // namespace

#ifndef __mips__
// The wget holds no instruction that a release-1 core lacks. It reads its
// settings from the TAP's settings folder by itself, and there the package's
// wgetrc names the package's folder of authorities: with the test's CA in the
// owner's own file (ssl/cert.pem, as INSTALL.txt says) or in that folder
// under its hash it fetches over HTTPS byte for byte; with neither, it
// refuses the server with wget's status for a TLS failure, 5, and says why.
TEST(ReceiverWget, IsRelease1AndTrustsTheAuthoritiesItFindsByItself) {
  std::string work;
  const std::string top = unpackedPackage(&work);
  ASSERT_FALSE(top.empty());
  const std::string wget = kReceiverEnv + "qemu-mipsel -cpu 24Kf " + top + "/ProgramFiles/wget";

  EXPECT_EQ(statusOf(std::string(ORVADO_PYTHON) + " " ORVADO_SOURCE_DIR "/tests/receiver/tap_elf_check.py --isa-only " +
                     top + "/ProgramFiles/wget"),
            0);
  std::string version = commandOutput(wget + " --version");
  EXPECT_NE(version.find("+ssl/openssl"), std::string::npos) << version;
  EXPECT_NE(version.find("/mnt/hd" + kSettings + "/wgetrc (system)"), std::string::npos) << version;

  // The test's own sandbox has a private /mnt/hd: the package's settings go
  // where the receiver has them.
  TestCa ca;
  ASSERT_TRUE(makeTestCa(work, &ca));
  const std::string settings = "/mnt/hd" + kSettings;
  ASSERT_EQ(statusOf("mkdir -p " + settings + " && cp -r " + top + "/ProgramFiles/Settings/orvado/. " + settings), 0);
  const std::string hashed = settings + "/ssl/certs/" +
                             commandOutput("openssl x509 -noout -subject_hash -in " + ca.caPem + " | tr -d '\\n'") +
                             ".0";
  HlsServer server({"--mode", "vod", "--segments", "3", "--segment-bytes", std::to_string(188 * 1600)});
  ASSERT_FALSE(server.url().empty()) << server.line();
  TlsFront https(ca, std::stoi(server.url().substr(server.url().rfind(':') + 1)));
  const std::string name = "v0_1.ts";
  const std::string segment = server.get(name);
  ASSERT_EQ(segment.size(), 188u * 1600);

  struct Case {
    const char* what;
    std::string place;
    int status;
  };
  const std::string fetch = wget + " -T20 -t1 -O " + work + "/got.ts '" + https.url() + name + "' 2>" + work + "/log";
  for (const Case& c : {Case{"CA in the owner's file", settings + "/ssl/cert.pem", 0},
                        Case{"CA in the folder under its hash", hashed, 0}, Case{"CA nowhere", "", 5}}) {
    removeAll(settings + "/ssl/cert.pem");
    removeAll(hashed);
    if (!c.place.empty()) writeFile(c.place, readFile(ca.caPem));
    removeAll(work + "/got.ts");
    int status = statusOf(fetch);
    std::string log = readFile(work + "/log");
    EXPECT_EQ(status, c.status) << c.what << "\n" << log;
    if (c.status == 0) {
      EXPECT_TRUE(readFile(work + "/got.ts") == segment) << c.what << ": not the segment as served";
    } else {
      EXPECT_NE(log.find("certificate"), std::string::npos) << c.what << "\n" << log;
    }
  }
  // TLS 1.3 takes ChaCha20-Poly1305 first (ssl/openssl.cnf), cheap without
  // AES instructions, from a server that follows the client's order:
  // openssl s_server's status page names what was agreed.
  writeFile(settings + "/ssl/cert.pem", readFile(ca.caPem));
  const std::string port = std::to_string(freeLoopbackPort());
  ASSERT_EQ(statusOf("timeout 60 openssl s_server -www -quiet -naccept 1 -accept 127.0.0.1:" + port + " -cert " +
                     ca.certPem + " -key " + ca.keyPem + " >/dev/null 2>&1 &"),
            0);
  EXPECT_EQ(statusOf(wget + " -q -T20 -t20 --retry-connrefused --waitretry=1 -O " + work +
                     "/status.html https://127.0.0.1:" + port + "/"),
            0);
  const std::string status = readFile(work + "/status.html");
  EXPECT_NE(status.find("Cipher is TLS_CHACHA20_POLY1305_SHA256"), std::string::npos) << status;
  // Plain HTTP needs no certificate at all.
  EXPECT_EQ(statusOf(wget + " -q -T20 -t1 -O " + work + "/plain.ts '" + server.url() + name + "'"), 0);
  EXPECT_TRUE(readFile(work + "/plain.ts") == segment);
  removeAll(work);
}

// The folder holds Debian's certificate authorities alone, by fingerprint,
// each named as OpenSSL looks it up: a certificate that the build machine's
// administrator added to its own bundle would be trusted by every owner's
// receiver. The check refuses the folder with one more.
TEST(ReceiverWget, TrustsDebiansCertificateAuthoritiesAlone) {
  std::string work;
  const std::string top = unpackedPackage(&work);
  ASSERT_FALSE(top.empty());
  const std::string check = std::string(ORVADO_PYTHON) + " " ORVADO_SOURCE_DIR "/tests/package/ca_bundle_check.py ";
  const std::string certs = top + "/ProgramFiles/Settings/orvado/ssl/certs";
  const std::string out = commandOutput(check + certs + " 2>&1");
  EXPECT_NE(out.find("every check holds"), std::string::npos) << out;

  TestCa ca;
  ASSERT_TRUE(makeTestCa(work, &ca));
  ASSERT_EQ(statusOf("cp " + ca.caPem + " " + certs + "/$(openssl x509 -noout -subject_hash -in " + ca.caPem + ").0"),
            0);
  EXPECT_EQ(statusOf(check + certs + " >/dev/null 2>&1"), 1);
  removeAll(work);
}
#endif

#ifdef __mips__
// The receiver in a box: a blank disk with nothing but the package on it,
// installed as INSTALL.txt says, and the package's own TAP in the receiver
// build of the emulator, with no wget but the package's (the host's is
// hidden) and busybox's tools in the TAP's shell on a read-only root (so the
// TAP's copy of its wget to /bin/wget fails and it runs its own), with
// busybox's whole set and without `timeout`, as older firmware has.
// Digit 1 plays a live channel over HTTPS (the test's CA in the owner's own
// file of authorities), digit 2 one over plain HTTP: Stream.ts holds whole
// segments of the source, byte for byte and in order, and the player starts
// once. Exit ends every wget of the package: none is left a second later.
class ReceiverInABox : public testing::TestWithParam<const char*> {};

TEST_P(ReceiverInABox, PackagePlaysALiveChannelOverHttpsAndOverHttp) {
  std::string work;
  const std::string top = unpackedPackage(&work);
  ASSERT_FALSE(top.empty());
  ASSERT_EQ(statusOf(top + "/ProgramFiles/wget --version >/dev/null 2>&1"), 0)
      << "MIPS programs do not start by themselves here: run scripts/mips-binfmt.sh (as root)";
  TestCa ca;
  ASSERT_TRUE(makeTestCa(work, &ca));
  constexpr size_t kSegmentBytes = 188 * 5320;  // the seventh crosses 7,000,000 bytes
  HlsServer server(
      {"--mode", "live", "--window", "5", "--segment-bytes", std::to_string(kSegmentBytes), "--stop-after", "300"});
  ASSERT_FALSE(server.url().empty()) << server.line();
  TlsFront https(ca, std::stoi(server.url().substr(server.url().rfind(':') + 1)));

  for (int channel : {1, 2}) {
    SCOPED_TRACE(channel == 1 ? "https" : "http");
    const std::string disk = work + "/disk" + std::to_string(channel);
    const std::string settings = disk + kSettings;
    ASSERT_EQ(statusOf("mkdir -p " + disk + "/MediaFiles && cp -r " + top + "/ProgramFiles " + disk + " && mv " +
                       settings + "/orvado.ini.sample " + settings + "/orvado.ini"),
              0);
    // The owner's own channels in place of the sample's (whose addresses
    // are placeholders, never to be reached).
    writeFile(settings + "/orvado.ini", "[orvado]\ntvname1=Secure\ntvPL1=" + https.url() +
                                            "index.m3u8\ntvname2=Plain\ntvPL2=" + server.url() + "index.m3u8\n");
    writeFile(settings + "/ssl/cert.pem", readFile(ca.caPem));

    // The emulator's sandbox lies inside this one: its wgets are in this
    // sandbox's process list, which is read a second after the Exit key.
    const std::string command = kReceiverEnv + ORVADO_RUN_PREFIX + std::string(ORVADO_BINARY_DIR) +
                                "/orvado-emu --disk " + disk + " --no-host-wget " + GetParam() +
                                " --keys 1s:" + std::to_string(channel) + ",36s:exit --run 40s " + top +
                                "/ProgramFiles/Orvado.tap 2>&1";
    FILE* run = popen(command.c_str(), "r");
    ASSERT_NE(run, nullptr);
    // Exit stops the stream and clears its files: what Stream.ts held last
    // before it is kept.
    const std::string stream = disk + "/MediaFiles/tmp/Stream.ts";
    const std::string kept = work + "/kept.ts";
    removeAll(kept);
    std::string out;
    bool exitPressed = false;
    std::vector<emu::SandboxProcess> left;
    char line[4096];
    while (fgets(line, sizeof line, run)) {
      out += line;
      if (!exitPressed && exists(stream)) writeFile(kept, readFile(stream));
      if (!exitPressed && std::string(line).find("(exit)") != std::string::npos) {
        exitPressed = true;
        std::this_thread::sleep_for(std::chrono::seconds(1));
        left = emu::sandboxProcesses("wget");
      }
    }
    pclose(run);
    EXPECT_TRUE(exitPressed) << out;
    for (const emu::SandboxProcess& p : left)
      ADD_FAILURE() << "wget " << p.pid << " alive a second after Exit: " << ::testing::PrintToString(p.args);
    int starts = 0;
    for (size_t at = 0; (at = out.find(": playing /mnt/hd/MediaFiles/tmp/Stream.ts", at)) != std::string::npos; ++at)
      ++starts;
    EXPECT_EQ(starts, 1) << out;
    expectInOrder(segmentsInStream(kept, server, kSegmentBytes), {}, 8);
    if (HasFailure()) ADD_FAILURE() << out << "\n" << readFile(settings + "/playlist.log");
  }
  removeAll(work);
}

INSTANTIATE_TEST_SUITE_P(Busybox, ReceiverInABox, testing::Values("", "--no-timeout"),
                         [](const testing::TestParamInfo<const char*>& box) {
                           return std::string(*box.param ? "WithoutTimeout" : "Full");
                         });
#endif
