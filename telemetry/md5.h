#pragma once
// MD5 message digest (RFC 1321). Used only to turn a hardware address into an
// identifier that does not reveal it; not for anything that needs security.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

using Md5Digest = std::array<uint8_t, 16>;

// The digest of `length` bytes at `data`.
Md5Digest ComputeMd5(const void* data, size_t length);

// The digest of `text` up to its first NUL.
Md5Digest ComputeMd5(const std::string& text);

// The digest as 32 lower-case hexadecimal digits, in digest order.
std::string Md5Hex(const Md5Digest& digest);
