// The gzip member reader (RFC 1952): header, Deflate blocks, trailer.
#pragma once

// Decodes one member on the state unzip_stream prepared. The first member
// reads its own magic bytes and records the header's time; for a later
// member the caller has already fetched and checked the magic.
// Returns 0 for a good member, -1 otherwise.
int read_gzip_member(bool first_member);
