#include "app/core/dialogs.h"

#include <gtest/gtest.h>

namespace amparo {
namespace {

TEST(AddressRule, AcceptsOnlyAWholeWebAddress) {
    struct Row {
        const char* fault;
        QString typed;
        std::optional<QString> accepted;
    };
    const Row rows[] = {
        {"blanks around the example kept", " \thttps://www.ejemplo.org/ayuda \t",
         QStringLiteral("https://www.ejemplo.org/ayuda")},
        {"plain http refused", "http://ayuda.example", QStringLiteral("http://ayuda.example")},
        {"a bare domain taken", "ayuda.example", std::nullopt},
        {"another scheme taken", "ftp://ayuda.example", std::nullopt},
        {"a scheme in capitals taken", "HTTPS://ayuda.example", std::nullopt},
        {"the scheme alone taken", "https://", std::nullopt},
        {"a line break written into redirect.txt", "https://a.example/\nlocal", std::nullopt},
        {"a Unicode line separator let through", QStringLiteral("https://a.example/\u2028x"),
         std::nullopt},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(acceptableAddress(row.typed), row.accepted) << row.fault;
    }
}

}  // namespace
}  // namespace amparo
