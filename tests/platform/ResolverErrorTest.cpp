// The Linux resolver's failures as the codes the client's retry decision reads.

#include "platform/linux/ResolverError.h"
#include "Subsidiary/NetErrors.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <netdb.h>

namespace {

TEST(HostLookupTest, ResolverFailuresMapToTheCodeThatDecidesTheRetry)
{
    const struct {
        const char* name;
        int code, errnoValue;
        uint32_t expected;
    } cases[] = {
        {"EAI_NONAME", EAI_NONAME, 0, EIOCPE_WSAHOST_NOT_FOUND},
        {"EAI_AGAIN", EAI_AGAIN, 0, EIOCPE_WSATRY_AGAIN},
        {"EAI_FAIL", EAI_FAIL, 0, EIOCPE_WSANO_RECOVERY},
        {"EAI_NODATA", EAI_NODATA, 0, EIOCPE_WSANO_DATA},
        {"EAI_ADDRFAMILY", EAI_ADDRFAMILY, 0, EIOCPE_WSANO_DATA},
        {"EAI_MEMORY", EAI_MEMORY, 0, EIOCPE_WSA_NOT_ENOUGH_MEMORY},
        {"EAI_SYSTEM", EAI_SYSTEM, ECONNREFUSED, EIOCPE_WSAECONNREFUSED},
        {"EAI_SERVICE", EAI_SERVICE, 0, EIOCPE_WSANO_RECOVERY},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TranslateSystemError(static_cast<uint32_t>(
                      platform::linux_detail::WinsockErrorFromResolver(c.code, c.errnoValue))),
                  c.expected)
            << c.name;
}

} // namespace
