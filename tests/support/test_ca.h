// A certificate authority that a test makes with openssl, for the HTTPS of
// the local test sources.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

namespace orvado_test {

// A certificate authority made for the test by openssl, and a certificate
// it signed for 127.0.0.1 and localhost.
struct TestCa {
  std::string caPem, certPem, keyPem;
};

inline bool makeTestCa(const std::string& dir, TestCa* ca) {
  ca->caPem = dir + "/test-ca.pem";
  ca->certPem = dir + "/server.pem";
  ca->keyPem = dir + "/server.key";
  std::string quiet = " >/dev/null 2>&1";
  return system(("cd " + dir +
                 " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
                 " -subj '/CN=Orvado Test CA' -keyout test-ca.key -out test-ca.pem" +
                 quiet +
                 " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=127.0.0.1"
                 " -keyout server.key -out server.csr" +
                 quiet +
                 " && printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' > san.ext"
                 " && openssl x509 -req -in server.csr -CA test-ca.pem -CAkey test-ca.key -CAcreateserial"
                 " -days 2 -extfile san.ext -out server.pem" +
                 quiet)
                    .c_str()) == 0;
}

// Has the TAP's wget trust `ca` besides its defaults, or with no `ca` only
// its defaults: the CA and a settings file go on the receiver's disk, the
// one place of the PC's test that the TAP's shell reaches, and WGETRC names
// the file. For a sandbox's fresh process, before the TAP starts.
inline bool trustOnDisk(const TestCa* ca) {
  const std::string rc = "/mnt/hd/test-wgetrc";
  std::ofstream out(rc, std::ios::trunc);
  if (ca) {
    std::ifstream pem(ca->caPem, std::ios::binary);
    std::ofstream copy("/mnt/hd/test-ca.pem", std::ios::binary | std::ios::trunc);
    copy << pem.rdbuf();
    if (!pem || !copy) return false;
    out << "ca_certificate = /mnt/hd/test-ca.pem\n";
  }
  out.close();
  return out && setenv("WGETRC", rc.c_str(), 1) == 0;
}

}  // namespace orvado_test
