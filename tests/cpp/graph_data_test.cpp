#include "support.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace vantorix;
using namespace vantorix::test;

namespace {

Context numbered(const std::string& prefix, int count, std::int64_t offset = 0) {
    Context context;
    for (int i = 0; i < count; ++i) {
        context.insert(key(prefix, i), GraphData::from_int(i + offset));
    }
    return context;
}

} // namespace

TEST(GraphData, KindsKeepTheirDeclaredOrder) {
    const GraphData values[] = {GraphData::from_int(1),
                                GraphData::from_float(1.5),
                                GraphData::from_string("s"),
                                GraphData::from_float_list({1.0}),
                                GraphData::from_int_list({1}),
                                GraphData::from_map(Context()),
                                GraphData::from_object(ObjectHandle::adopt(nullptr)),
                                GraphData::none()};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(static_cast<int>(values[i].kind()), i);
    }
    EXPECT_EQ(GraphData().kind(), GraphData::Kind::None);
}

TEST(GraphData, CopiedMapIsIndependentAndRetainsNestedHandles) {
    CountingHandles handles;
    CountingHandles::Object object{0};
    {
        Context inner = numbered("k", 12);
        inner.insert("obj", CountingHandles::reference(object));
        const GraphData source = GraphData::from_map(std::move(inner));

        GraphData copy = source;
        EXPECT_NE(&copy.as_map(), &source.as_map());
        EXPECT_EQ(object.load(), 2);

        Context edited = copy.as_map();
        edited.insert("k0", GraphData::from_string("changed"));
        edited.insert("extra", GraphData::none());
        copy = GraphData::from_map(std::move(edited));
        EXPECT_EQ(source.as_map().size(), 13u);
        EXPECT_EQ(source.as_map().find("k0")->as_int(), 0);
        EXPECT_EQ(source.as_map().find("extra"), nullptr);
        EXPECT_EQ(copy.as_map().find("k0")->as_string(), "changed");
    }
    EXPECT_EQ(object.load(), 0);
    EXPECT_EQ(CountingHandles::retains.load(), CountingHandles::releases.load() - 1);
}

TEST(ObjectHandle, CopiesRetainMovesTransferAndEveryReferenceIsReleasedOnce) {
    CountingHandles handles;
    CountingHandles::Object first{0};
    CountingHandles::Object second{0};
    {
        GraphData a = CountingHandles::reference(first);
        GraphData b = a;
        EXPECT_EQ(b.as_object(), &first);
        EXPECT_EQ(first.load(), 2);

        GraphData moved = std::move(b);
        EXPECT_EQ(first.load(), 2);

        GraphData other = CountingHandles::reference(second);
        other = a; // drops the reference to `second`
        EXPECT_EQ(second.load(), 0);
        EXPECT_EQ(first.load(), 3);
        other = other;
        EXPECT_EQ(first.load(), 3);
    }
    EXPECT_EQ(first.load(), 0);
    EXPECT_EQ(second.load(), 0);
}

// Contexts search linearly up to eight entries and through a hash index beyond; every size
// below crosses or sits on that boundary.
class ContextAtSize : public ::testing::TestWithParam<int> {};

INSTANTIATE_TEST_SUITE_P(LinearAndIndexed, ContextAtSize, ::testing::Values(1, 8, 9, 17, 200));

TEST_P(ContextAtSize, FindsEveryInsertedNameAndReplacesInPlace) {
    const int n = GetParam();
    Context context = numbered("name", n);
    ASSERT_EQ(context.size(), static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        const GraphData* value = context.find(key("name", i));
        ASSERT_NE(value, nullptr) << i;
        EXPECT_EQ(value->as_int(), i);
    }
    EXPECT_EQ(context.find("name"), nullptr);
    EXPECT_EQ(context.find("missing"), nullptr);

    for (int i = 0; i < n; ++i) {
        context.insert(key("name", i), GraphData::from_int(-i));
    }
    EXPECT_EQ(context.size(), static_cast<std::size_t>(n));
    EXPECT_EQ(context.find(key("name", n - 1))->as_int(), 1 - n);
}

TEST_P(ContextAtSize, PublishedOutputsFindEveryNameAndNoOther) {
    const int n = GetParam();
    std::vector<std::string> texts;
    for (int i = 0; i < n; ++i) {
        texts.push_back(key("name", i));
    }
    const std::vector<std::string_view> names(texts.begin(), texts.end());
    std::vector<std::optional<GraphData>> values(names.size());
    PublishedOutputs outputs(names, values);
    for (int i = n - 1; i >= 0; --i) {
        EXPECT_EQ(outputs.find(names[static_cast<std::size_t>(i)]), static_cast<std::size_t>(i));
    }
    for (const std::string_view other : {"name", "", "missing"}) {
        EXPECT_EQ(outputs.find(other), PublishedOutputs::npos) << other;
    }
}

TEST_P(ContextAtSize, KeysCompareByteForByte) {
    Context context = numbered("pad", GetParam());
    context.insert(std::string("a\0b", 3), GraphData::from_int(1));
    context.insert("a", GraphData::from_int(2));
    context.insert("A", GraphData::from_int(3));
    EXPECT_EQ(context.find(std::string_view("a\0b", 3))->as_int(), 1);
    EXPECT_EQ(context.find("a")->as_int(), 2);
    EXPECT_EQ(context.find("A")->as_int(), 3);
    EXPECT_EQ(context.find(std::string_view("a\0c", 3)), nullptr);
}

TEST_P(ContextAtSize, ReplacingAValueReleasesTheOldOne) {
    CountingHandles handles;
    CountingHandles::Object object{0};
    Context context = numbered("pad", GetParam());
    context.insert("obj", CountingHandles::reference(object));
    context.insert_copy("obj", GraphData::from_int(7));
    EXPECT_EQ(object.load(), 0);
    EXPECT_EQ(CountingHandles::releases.load(), 1);
    EXPECT_EQ(context.find("obj")->as_int(), 7);
}

TEST_P(ContextAtSize, CopyStaysUnchangedWhenTheOriginalGrows) {
    const int n = GetParam();
    const Context source = numbered("s", n);
    Context copy = source;
    for (int i = 0; i < 40; ++i) {
        copy.insert(key("new", i), GraphData::from_int(i));
    }
    copy.insert("s0", GraphData::from_int(99));
    EXPECT_EQ(source.size(), static_cast<std::size_t>(n));
    EXPECT_EQ(source.find("new0"), nullptr);
    EXPECT_EQ(source.find("s0")->as_int(), 0);
    for (int i = 0; i < n; ++i) {
        EXPECT_NE(source.find(key("s", i)), nullptr);
    }
}

TEST_P(ContextAtSize, MergeKeepsOwnEntriesAndLetsTheOtherWin) {
    const int n = GetParam();
    // `other` replaces the first half of the names and brings as many of its own.
    Context other = numbered("x", n / 2 + 1, 1000);
    other.merge(numbered("y", n / 2 + 1, -500));
    std::map<std::string, std::int64_t> expected = as_ints(numbered("x", n));
    for (const auto& [name, value] : as_ints(other)) {
        expected[name] = value;
    }

    Context by_copy = numbered("x", n);
    by_copy.merge(other);
    EXPECT_EQ(by_copy.size(), expected.size());
    EXPECT_EQ(as_ints(by_copy), expected);
    EXPECT_EQ(by_copy.find("y0")->as_int(), -500);
    EXPECT_EQ(by_copy.find("x0")->as_int(), 1000);
    EXPECT_EQ(by_copy.find(key("x", n - 1))->as_int(), n == 1 ? 1000 : n - 1);

    Context by_move = numbered("x", n);
    by_move.merge(std::move(other));
    EXPECT_EQ(by_move.size(), expected.size());
    EXPECT_EQ(as_ints(by_move), expected);

    Context empty;
    empty.merge(by_copy);
    EXPECT_EQ(as_ints(empty), expected);
    empty.merge(numbered("z", 3));
    EXPECT_EQ(empty.find("z2")->as_int(), 2);
}
