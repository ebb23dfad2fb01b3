#include "registry.hpp"
#include "support/replies.hpp"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

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

std::vector<std::string> listed_names(const MethodRegistry& registry) {
    std::vector<std::string> names;
    for (const auto& d : registry.list_descriptors()) names.emplace_back(d.at("name").as_string());
    return names;
}

TEST(MethodRegistry, NameRulesRefuseWithFalse) {
    MethodRegistry registry;
    for (const char* refused : {R"({})", R"({"name":5})", R"({"name":null})", R"({"name":{}})", R"({"name":[]})",
                                R"({"name":""})", R"({"name":"sys.echo"})", R"({"name":"sys.list_nodes"})"}) {
        EXPECT_FALSE(registry.register_method(descriptor(refused), returning(0))) << refused;
    }
    for (const char* accepted : {R"({"name":"sys"})", R"({"name":"sysx"})", R"({"name":"SYS.echo"})",
                                 R"({"name":"echo"})", R"({"name":"echo "})"}) {
        EXPECT_TRUE(registry.register_method(descriptor(accepted), returning(0))) << accepted;
    }
}

TEST(MethodRegistry, SecondRegistrationKeepsTheFirstEntry) {
    MethodRegistry registry;
    ASSERT_TRUE(registry.register_method(descriptor(R"({"name":"echo","v":1})"), returning(1)));
    EXPECT_FALSE(registry.register_method(descriptor(R"({"name":"echo","v":2})"), returning(2)));
    const auto handler = registry.find_handler("echo", [] { FAIL(); });
    ASSERT_TRUE(handler);
    EXPECT_EQ(run(handler, {}), Bytes{1});
    EXPECT_EQ(registry.list_descriptors().at(0).at("v").as_int64(), 1);
}

TEST(MethodRegistry, ListingIsInByteOrderWithDescriptorsVerbatim) {
    MethodRegistry registry;
    registry.add_builtin(descriptor(R"({"name":"sys.list_nodes"})"), returning(0));
    registry.add_builtin(descriptor(R"({"name":"sys.list_methods"})"), returning(0));
    for (const char* d : {R"({"name":"z"})", R"({"name":"a"})", R"({"doc":"x","name":"A","nested":{"k":[1]}})"}) {
        ASSERT_TRUE(registry.register_method(descriptor(d), returning(0)));
    }
    EXPECT_EQ(listed_names(registry), (std::vector<std::string>{"A", "a", "sys.list_methods", "sys.list_nodes", "z"}));
    EXPECT_EQ(boost::json::serialize(registry.list_descriptors().front()),
              R"({"doc":"x","name":"A","nested":{"k":[1]}})");
}

TEST(MethodRegistry, MissRunsTheCallbackAndAHandlerMayRegisterWhileRunning) {
    MethodRegistry registry;
    int misses = 0;
    EXPECT_FALSE(registry.find_handler("nope", [&] { ++misses; }));
    EXPECT_EQ(misses, 1);
    ASSERT_TRUE(registry.register_method(descriptor(R"({"name":"outer"})"), [&](Bytes) {
        // The registry lock is not held while a handler runs.
        EXPECT_TRUE(registry.register_method(descriptor(R"({"name":"inner"})"), returning(7)));
        return Bytes{};
    }));
    run(registry.find_handler("outer", [] {}), {});
    EXPECT_EQ(run(registry.find_handler("inner", [] {}), {}), Bytes{7});
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
