// GzipMemberInflater inflates one gzip member from a descriptor into another, digesting the
// output as it writes: the fast path of InflateOneMember (GzFile.h), which says what it
// takes. The inflate is ISA-L's streaming one, about three times as fast as zlib's on text;
// the only library choice of that path is made here. Only a member with the plain header
// the publisher writes (deflate, no flags) is taken: ISA-L reads the optional header fields
// more leniently than zlib, so a member with any of them is left to the caller's zlib path.
// Owns its decoder state and buffers (about 0.6 MiB), reused from file to file; one thread
// at a time.
#pragma once

#include <atomic>
#include <memory>

#include "codec/GzFile.h"
#include "codec/StreamDigest.h"

struct inflate_state;

namespace UpdateNew {

class GzipMemberInflater {
public:
    GzipMemberInflater();
    ~GzipMemberInflater();
    GzipMemberInflater(const GzipMemberInflater&) = delete;
    GzipMemberInflater& operator=(const GzipMemberInflater&) = delete;

    // As InflateOneMember.
    bool Inflate(int inFd, unsigned long long inSize, int outFd, unsigned long long maxOutput,
                 GunzipOutput& written, const std::atomic<bool>* stop, bool digest = true);

private:
    std::unique_ptr<inflate_state> m_state;
    std::unique_ptr<unsigned char[]> m_in;
    std::unique_ptr<unsigned char[]> m_out;
    StreamDigest m_digest;
};

}  // namespace UpdateNew
