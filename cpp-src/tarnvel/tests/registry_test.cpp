// What the registry alone promises; its name rules and listing are tested
// through the node in calls_test.
#include "registry.hpp"
#include "support/replies.hpp"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

namespace tarnvel {
namespace {

boost::json::object descriptor(const char* json) { return boost::json::parse(json).as_object(); }

MethodHandler returning(uint8_t byte) {
    return [byte](Bytes) { return Bytes{byte}; };
}

// What the handler found answers, run as the inbox runs it.
Bytes run(const std::optional<MethodRegistry::Found>& found, Bytes args) {
    const auto answer = test::answer_now(found.value().handler, std::move(args));
    return answer && answer->status == STATUS_OK ? answer->result : Bytes{0xEE};
}

// (A handler that registers while it runs is tested through the node.)
TEST(MethodRegistry, MissRunsTheCallback) {
    MethodRegistry registry;
    int misses = 0;
    EXPECT_FALSE(registry.find_handler("nope", [&] { ++misses; }));
    EXPECT_EQ(misses, 1);
}

TEST(MethodRegistry, BuiltinReplacesAndRequiresAStringName) {
    MethodRegistry registry;
    registry.add_builtin(descriptor(R"({"name":"sys.x"})"), returning(1));
    registry.add_builtin(descriptor(R"({"name":"sys.x"})"), returning(2));
    EXPECT_EQ(run(registry.find_handler("sys.x", [] {}), {}), Bytes{2});
    EXPECT_ANY_THROW(registry.add_builtin(descriptor(R"({"name":1})"), returning(0)));
    EXPECT_ANY_THROW(registry.add_builtin(descriptor(R"({})"), returning(0)));
}

}  // namespace
}  // namespace tarnvel
