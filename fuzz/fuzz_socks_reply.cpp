// The SOCKS reply readers on any bytes: a verdict stays within the bytes
// given, failures carry one of the layer's codes, and a complete reply is
// judged the same whether or not more bytes follow it.
#include "net/SocksCodec.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace qordex::socks;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    for (Reply (*read)(std::string_view) :
         {ReadMethodReply, ReadAuthReply, ReadV4Reply, ReadV5Reply}) {
        const Reply whole = read(bytes);
        if (whole.status == Reply::Failed && (whole.code < 20001 || whole.code > 20017))
            std::abort();
        if (whole.status != Reply::Done)
            continue;
        if (whole.length == 0 || whole.length > size || whole.length > kReplyBufferSize)
            std::abort();
        const Reply exact = read(bytes.substr(0, whole.length));
        if (exact.status != Reply::Done || exact.length != whole.length)
            std::abort();
    }
    return 0;
}
