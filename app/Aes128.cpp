// AES-128 decryption (FIPS 197) in CBC mode, for HLS segments encrypted
// with METHOD=AES-128: the receiver's package ships no crypto library, and
// the TAP needs only this one direction of one cipher. Plain C; its tables
// are built at run time from the S-box.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "app/stream_internal.h"

namespace {

const uint8_t kSbox[256] = {
    0x63, 0x7c, 0x77, 0x7b, 0xf2, 0x6b, 0x6f, 0xc5, 0x30, 0x01, 0x67, 0x2b, 0xfe, 0xd7, 0xab, 0x76, 0xca, 0x82, 0xc9,
    0x7d, 0xfa, 0x59, 0x47, 0xf0, 0xad, 0xd4, 0xa2, 0xaf, 0x9c, 0xa4, 0x72, 0xc0, 0xb7, 0xfd, 0x93, 0x26, 0x36, 0x3f,
    0xf7, 0xcc, 0x34, 0xa5, 0xe5, 0xf1, 0x71, 0xd8, 0x31, 0x15, 0x04, 0xc7, 0x23, 0xc3, 0x18, 0x96, 0x05, 0x9a, 0x07,
    0x12, 0x80, 0xe2, 0xeb, 0x27, 0xb2, 0x75, 0x09, 0x83, 0x2c, 0x1a, 0x1b, 0x6e, 0x5a, 0xa0, 0x52, 0x3b, 0xd6, 0xb3,
    0x29, 0xe3, 0x2f, 0x84, 0x53, 0xd1, 0x00, 0xed, 0x20, 0xfc, 0xb1, 0x5b, 0x6a, 0xcb, 0xbe, 0x39, 0x4a, 0x4c, 0x58,
    0xcf, 0xd0, 0xef, 0xaa, 0xfb, 0x43, 0x4d, 0x33, 0x85, 0x45, 0xf9, 0x02, 0x7f, 0x50, 0x3c, 0x9f, 0xa8, 0x51, 0xa3,
    0x40, 0x8f, 0x92, 0x9d, 0x38, 0xf5, 0xbc, 0xb6, 0xda, 0x21, 0x10, 0xff, 0xf3, 0xd2, 0xcd, 0x0c, 0x13, 0xec, 0x5f,
    0x97, 0x44, 0x17, 0xc4, 0xa7, 0x7e, 0x3d, 0x64, 0x5d, 0x19, 0x73, 0x60, 0x81, 0x4f, 0xdc, 0x22, 0x2a, 0x90, 0x88,
    0x46, 0xee, 0xb8, 0x14, 0xde, 0x5e, 0x0b, 0xdb, 0xe0, 0x32, 0x3a, 0x0a, 0x49, 0x06, 0x24, 0x5c, 0xc2, 0xd3, 0xac,
    0x62, 0x91, 0x95, 0xe4, 0x79, 0xe7, 0xc8, 0x37, 0x6d, 0x8d, 0xd5, 0x4e, 0xa9, 0x6c, 0x56, 0xf4, 0xea, 0x65, 0x7a,
    0xae, 0x08, 0xba, 0x78, 0x25, 0x2e, 0x1c, 0xa6, 0xb4, 0xc6, 0xe8, 0xdd, 0x74, 0x1f, 0x4b, 0xbd, 0x8b, 0x8a, 0x70,
    0x3e, 0xb5, 0x66, 0x48, 0x03, 0xf6, 0x0e, 0x61, 0x35, 0x57, 0xb9, 0x86, 0xc1, 0x1d, 0x9e, 0xe1, 0xf8, 0x98, 0x11,
    0x69, 0xd9, 0x8e, 0x94, 0x9b, 0x1e, 0x87, 0xe9, 0xce, 0x55, 0x28, 0xdf, 0x8c, 0xa1, 0x89, 0x0d, 0xbf, 0xe6, 0x42,
    0x68, 0x41, 0x99, 0x2d, 0x0f, 0xb0, 0x54, 0xbb, 0x16,
};

uint8_t inverseSbox[256];
// The inverse round's four tables: InvSubBytes and InvMixColumns of one
// byte, in each of the four byte places of a column. Built once, at the
// first use (4 kB); a table lookup a byte is what keeps a 16 Mbit/s stream
// within the reach of a receiver's slow core.
uint32_t inverseTable[4][256];
bool tablesReady = false;

uint8_t Times2(uint8_t x) { return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) != 0 ? 0x1b : 0)); }

uint8_t Multiply(uint8_t x, uint8_t y) {
  uint8_t product = 0;
  for (; y != 0; y >>= 1, x = Times2(x))
    if (y & 1) product ^= x;
  return product;
}

uint32_t RotateRight8(uint32_t w) { return (w >> 8) | (w << 24); }

void BuildTables(void) {
  for (int i = 0; i < 256; ++i) inverseSbox[kSbox[i]] = static_cast<uint8_t>(i);
  for (int i = 0; i < 256; ++i) {
    uint8_t x = inverseSbox[i];
    uint32_t w = static_cast<uint32_t>(Multiply(x, 14)) << 24 | static_cast<uint32_t>(Multiply(x, 9)) << 16 |
                 static_cast<uint32_t>(Multiply(x, 13)) << 8 | Multiply(x, 11);
    for (int t = 0; t < 4; ++t, w = RotateRight8(w)) inverseTable[t][i] = w;
  }
  tablesReady = true;
}

uint32_t Word(const uint8_t* b) {
  return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 | static_cast<uint32_t>(b[2]) << 8 |
         b[3];
}

void PutWord(uint32_t w, uint8_t* b) {
  b[0] = static_cast<uint8_t>(w >> 24);
  b[1] = static_cast<uint8_t>(w >> 16);
  b[2] = static_cast<uint8_t>(w >> 8);
  b[3] = static_cast<uint8_t>(w);
}

// The eleven round keys of a 16-byte key, as 44 words; the middle nine
// with InvMixColumns applied, as the table form of the inverse cipher
// needs them (FIPS 197, 5.3.5).
void ExpandKey(const uint8_t key[16], uint32_t round[44]) {
  uint8_t bytes[176];
  memcpy(bytes, key, 16);
  uint8_t rcon = 1;
  for (int i = 16; i < 176; i += 4) {
    uint8_t t[4] = {bytes[i - 4], bytes[i - 3], bytes[i - 2], bytes[i - 1]};
    if (i % 16 == 0) {
      uint8_t first = t[0];
      t[0] = static_cast<uint8_t>(kSbox[t[1]] ^ rcon);
      t[1] = kSbox[t[2]];
      t[2] = kSbox[t[3]];
      t[3] = kSbox[first];
      rcon = Times2(rcon);
    }
    for (int j = 0; j < 4; ++j) bytes[i + j] = static_cast<uint8_t>(bytes[i - 16 + j] ^ t[j]);
  }
  for (int i = 0; i < 44; ++i) {
    const uint8_t* b = bytes + 4 * i;
    round[i] = i < 4 || i >= 40 ? Word(b)
                                : inverseTable[0][kSbox[b[0]]] ^ inverseTable[1][kSbox[b[1]]] ^
                                      inverseTable[2][kSbox[b[2]]] ^ inverseTable[3][kSbox[b[3]]];
  }
}

// One block, in place; the state's columns are the four words.
void DecryptBlock(const uint32_t round[44], uint8_t block[16]) {
  const uint32_t(*T)[256] = inverseTable;
  uint32_t s0 = Word(block) ^ round[40], s1 = Word(block + 4) ^ round[41];
  uint32_t s2 = Word(block + 8) ^ round[42], s3 = Word(block + 12) ^ round[43];
  for (int r = 9; r >= 1; --r) {
    const uint32_t* k = round + 4 * r;
    uint32_t t0 = T[0][s0 >> 24] ^ T[1][(s3 >> 16) & 0xff] ^ T[2][(s2 >> 8) & 0xff] ^ T[3][s1 & 0xff] ^ k[0];
    uint32_t t1 = T[0][s1 >> 24] ^ T[1][(s0 >> 16) & 0xff] ^ T[2][(s3 >> 8) & 0xff] ^ T[3][s2 & 0xff] ^ k[1];
    uint32_t t2 = T[0][s2 >> 24] ^ T[1][(s1 >> 16) & 0xff] ^ T[2][(s0 >> 8) & 0xff] ^ T[3][s3 & 0xff] ^ k[2];
    uint32_t t3 = T[0][s3 >> 24] ^ T[1][(s2 >> 16) & 0xff] ^ T[2][(s1 >> 8) & 0xff] ^ T[3][s0 & 0xff] ^ k[3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  const uint8_t* S = inverseSbox;
  auto last = [S](uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return static_cast<uint32_t>(S[a >> 24]) << 24 | static_cast<uint32_t>(S[(b >> 16) & 0xff]) << 16 |
           static_cast<uint32_t>(S[(c >> 8) & 0xff]) << 8 | S[d & 0xff];
  };
  PutWord(last(s0, s3, s2, s1) ^ round[0], block);
  PutWord(last(s1, s0, s3, s2) ^ round[1], block + 4);
  PutWord(last(s2, s1, s0, s3) ^ round[2], block + 8);
  PutWord(last(s3, s2, s1, s0) ^ round[3], block + 12);
}

}  // namespace

namespace stream_internal {

void Aes128CbcDecrypt(const uint8_t key[16], uint8_t iv[16], uint8_t* data, uint32_t length) {
  if (!tablesReady) BuildTables();
  uint32_t round[44];
  ExpandKey(key, round);
  for (uint32_t at = 0; at + 16 <= length; at += 16) {
    uint8_t cipher[16];
    memcpy(cipher, data + at, 16);
    DecryptBlock(round, data + at);
    for (int i = 0; i < 16; ++i) data[at + i] ^= iv[i];
    memcpy(iv, cipher, 16);
  }
}

namespace {

// Reads until `size` bytes are in or the file ends: the count read, -1 on a
// failure. (Files are read with the C library's plain calls, which every
// receiver's has, rather than its stdio streams.)
ssize_t ReadUpTo(int fd, uint8_t* into, size_t size) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = read(fd, into + got, size - got);
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

bool WriteAll(int fd, const uint8_t* from, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, from, size);
    if (n <= 0) return false;
    from += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool DecryptFile(const char* path, const uint8_t key[16], const uint8_t iv[16]) {
  constexpr uint32_t kBlock = 188 * 16 * 16;  // a multiple of both the packet and the AES block
  char out[StreamUrlSize + 8];
  if (snprintf(out, sizeof out, "%s.dec", path) >= static_cast<int>(sizeof out)) return false;
  int in = open(path, O_RDONLY);
  if (in < 0) return false;
  int plain = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  uint8_t* buffer = static_cast<uint8_t*>(TAP_MemAlloc(kBlock + 16));
  uint8_t chain[16];
  memcpy(chain, iv, 16);
  bool ok = plain >= 0 && buffer != nullptr;
  // Each block is written once the next is read, so the padding of the
  // last one can be taken off.
  uint32_t held = 0;
  while (ok) {
    size_t want = kBlock + 16 - held;
    ssize_t n = ReadUpTo(in, buffer + held, want);
    if (n < 0) {
      ok = false;
      break;
    }
    held += static_cast<uint32_t>(n);
    bool last = static_cast<size_t>(n) < want;
    if (held % 16 != 0 && last) ok = false;
    if (!ok || held == 0) break;
    uint32_t now = last ? held : (held >= 16 ? held - 16 : 0);
    now -= now % 16;
    if (last && now == 0) ok = false;
    Aes128CbcDecrypt(key, chain, buffer, now);
    uint32_t keep = now;
    if (last) {
      // PKCS#7: the last byte says how many bytes of padding there are.
      uint8_t pad = now > 0 ? buffer[now - 1] : 0;
      ok = pad >= 1 && pad <= 16 && pad <= now;
      for (uint32_t i = 0; ok && i < pad; ++i) ok = buffer[now - 1 - i] == pad;
      keep = ok ? now - pad : 0;
    }
    if (ok && keep > 0) ok = WriteAll(plain, buffer, keep);
    memmove(buffer, buffer + now, held - now);
    held -= now;
    if (last) break;
  }
  if (buffer != nullptr) TAP_MemFree(buffer);
  close(in);
  if (plain >= 0 && close(plain) != 0) ok = false;
  if (ok) ok = rename(out, path) == 0;
  if (!ok) unlink(out);
  return ok;
}

}  // namespace stream_internal
