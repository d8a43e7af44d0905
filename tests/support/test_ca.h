// A certificate authority that a test makes with openssl, for the HTTPS of
// the local test sources.
#pragma once

#include <cstdlib>
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

}  // namespace orvado_test
