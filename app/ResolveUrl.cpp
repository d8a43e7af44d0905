// URI reference resolution (RFC 3986 section 5.2), without heap and within
// fixed buffers: the pipeline's URLs are at most 511 characters.
#include "app/ResolveUrl.h"

#include <cstring>

namespace {

struct Part {
  const char* at = "";
  size_t length = 0;
  bool defined = false;
};

struct Uri {
  Part scheme, authority, path, query, fragment;
};

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool IsScheme(const char* s, size_t n) {
  if (n == 0 || !IsAlpha(s[0])) return false;
  for (size_t i = 1; i < n; ++i) {
    char c = s[i];
    if (!IsAlpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

size_t Until(const char* s, size_t i, size_t n, const char* stops) {
  while (i < n && strchr(stops, s[i]) == nullptr) ++i;
  return i;
}

// The five components of RFC 3986 appendix B. A name before ":" that is no
// valid scheme stays part of the path.
Uri Split(const char* s, size_t n) {
  Uri u;
  size_t i = 0;
  size_t colon = Until(s, 0, n, ":/?#");
  if (colon < n && s[colon] == ':' && IsScheme(s, colon)) {
    u.scheme = {s, colon, true};
    i = colon + 1;
  }
  if (n - i >= 2 && s[i] == '/' && s[i + 1] == '/') {
    size_t end = Until(s, i + 2, n, "/?#");
    u.authority = {s + i + 2, end - i - 2, true};
    i = end;
  }
  size_t end = Until(s, i, n, "?#");
  u.path = {s + i, end - i, true};
  i = end;
  if (i < n && s[i] == '?') {
    end = Until(s, i + 1, n, "#");
    u.query = {s + i + 1, end - i - 1, true};
    i = end;
  }
  if (i < n && s[i] == '#') u.fragment = {s + i + 1, n - i - 1, true};
  return u;
}

bool StartsWith(const char* s, size_t n, const char* prefix) {
  size_t k = strlen(prefix);
  return n >= k && memcmp(s, prefix, k) == 0;
}

bool Is(const char* s, size_t n, const char* whole) { return n == strlen(whole) && memcmp(s, whole, n) == 0; }

// remove_dot_segments (section 5.2.4), in place: the output never grows
// faster than the input is consumed. Returns the new length.
size_t RemoveDotSegments(char* s, size_t n) {
  size_t in = 0, out = 0;
  auto dropLastSegment = [&] {
    while (out > 0 && s[out - 1] != '/') --out;
    if (out > 0) --out;
  };
  while (in < n) {
    const char* p = s + in;
    size_t left = n - in;
    if (StartsWith(p, left, "../")) {
      in += 3;
    } else if (StartsWith(p, left, "./") || StartsWith(p, left, "/./")) {
      in += 2;
    } else if (Is(p, left, "/.")) {
      in += 1;
      s[in] = '/';
    } else if (StartsWith(p, left, "/../")) {
      in += 3;
      dropLastSegment();
    } else if (Is(p, left, "/..")) {
      in += 2;
      s[in] = '/';
      dropLastSegment();
    } else if (Is(p, left, ".") || Is(p, left, "..")) {
      in = n;
    } else {
      size_t end = in + 1;
      while (end < n && s[end] != '/') ++end;
      memmove(s + out, s + in, end - in);
      out += end - in;
      in = end;
    }
  }
  return out;
}

struct Output {
  char* at;
  size_t size;
  size_t used = 0;
  bool fits = true;
  void Add(const char* s, size_t n) {
    if (!fits || n >= size - used) {
      fits = false;
      return;
    }
    memcpy(at + used, s, n);
    used += n;
    at[used] = '\0';
  }
  void Add(const char* s) { Add(s, strlen(s)); }
};

}  // namespace

bool ResolveUrl(const char* base, const char* reference, size_t length, char* out, size_t outSize) {
  if (out == nullptr || outSize == 0) return false;
  out[0] = '\0';
  if (base == nullptr || reference == nullptr || length >= outSize) return false;
  size_t baseLength = strlen(base);
  if (baseLength >= outSize) return false;
  Uri b = Split(base, baseLength);
  Uri r = Split(reference, length);

  // Room for a merged path: the base's and the reference's together.
  char path[2 * 1024 + 2];
  if (baseLength + length + 2 > sizeof path) return false;
  size_t pathLength = 0;
  auto setPath = [&](const Part& first, const Part& second) {
    memcpy(path, first.at, first.length);
    memcpy(path + first.length, second.at, second.length);
    pathLength = RemoveDotSegments(path, first.length + second.length);
  };
  const Part none;
  Uri t;
  if (r.scheme.defined) {
    t = r;
    setPath(r.path, none);
  } else {
    t.scheme = b.scheme;
    if (r.authority.defined) {
      t.authority = r.authority;
      t.query = r.query;
      setPath(r.path, none);
    } else {
      t.authority = b.authority;
      if (r.path.length == 0) {
        t.query = r.query.defined ? r.query : b.query;
        memcpy(path, b.path.at, b.path.length);
        pathLength = b.path.length;
      } else {
        t.query = r.query;
        if (r.path.at[0] == '/') {
          setPath(r.path, none);
        } else if (b.authority.defined && b.path.length == 0) {
          static const Part slash = {"/", 1, true};
          setPath(slash, r.path);
        } else {
          // Merge: the base path up to and including its last "/".
          Part directory = b.path;
          while (directory.length > 0 && directory.at[directory.length - 1] != '/') --directory.length;
          setPath(directory, r.path);
        }
      }
    }
  }
  t.fragment = r.fragment;

  Output o{out, outSize};
  if (t.scheme.defined) {
    o.Add(t.scheme.at, t.scheme.length);
    o.Add(":");
  }
  if (t.authority.defined) {
    o.Add("//");
    o.Add(t.authority.at, t.authority.length);
  }
  o.Add(path, pathLength);
  if (t.query.defined) {
    o.Add("?");
    o.Add(t.query.at, t.query.length);
  }
  if (t.fragment.defined) {
    o.Add("#");
    o.Add(t.fragment.at, t.fragment.length);
  }
  if (!o.fits) out[0] = '\0';
  return o.fits;
}
