#include <gtest/gtest.h>

#include "Logging/MetadataInterpolation.h"

namespace logging {
namespace {

// Attribute types for the tests; Parity refuses odd raw values.
struct Sensitivity {
    std::int64_t level;
    std::int64_t rawValue() const { return level; }
    static std::optional<Sensitivity> fromRawValue(std::int64_t raw) { return Sensitivity{raw}; }
};
struct Priority {
    std::int64_t value;
    std::int64_t rawValue() const { return value; }
    static std::optional<Priority> fromRawValue(std::int64_t raw) { return Priority{raw}; }
};
struct Parity {
    std::int64_t value;
    std::int64_t rawValue() const { return value; }
    static std::optional<Parity> fromRawValue(std::int64_t raw) {
        return raw % 2 == 0 ? std::optional(Parity{raw}) : std::nullopt;
    }
};

using Key = MetadataValueAttributes::Key;
template <class A>
Key key() {
    return MetadataValueAttributes::keyOf<A>();
}

TEST(MetadataValueAttributes, FirstEntryIsInlineAndTheListStartsAtTheSecond) {
    MetadataValueAttributes set;
    EXPECT_TRUE(set.empty());
    set.set(Sensitivity{1});
    EXPECT_EQ(set.inlineEntry(), (MetadataValueAttributes::Entry{key<Sensitivity>(), 1}));
    EXPECT_EQ(set.overflow(), nullptr);
    set.set(Priority{2});
    ASSERT_NE(set.overflow(), nullptr);
    EXPECT_EQ(set.overflow()->size(), 1u);
    EXPECT_EQ(set.overflow()->capacity(), 1u);
    set.set(Priority{3});  // replaced in place
    EXPECT_EQ(set.size(), 2u);
    EXPECT_EQ(set.get<Priority>()->value, 3);
    EXPECT_NE(key<Sensitivity>(), nullptr);
    EXPECT_NE(key<Sensitivity>(), key<Priority>());
}

TEST(MetadataValueAttributes, RemovalMovesTheLastListEntryInline) {
    MetadataValueAttributes ab(Sensitivity{1}, Priority{2});
    ab.remove<Sensitivity>();
    EXPECT_EQ(ab.inlineEntry(), (MetadataValueAttributes::Entry{key<Priority>(), 2}));
    EXPECT_EQ(ab.overflow(), nullptr);

    MetadataValueAttributes abc(Sensitivity{1}, Priority{2}, Parity{4});
    abc.remove<Priority>();
    EXPECT_EQ(abc.inlineEntry()->key, key<Sensitivity>());
    ASSERT_NE(abc.overflow(), nullptr);
    EXPECT_EQ(*abc.overflow(), (std::vector<MetadataValueAttributes::Entry>{{key<Parity>(), 4}}));
    abc.remove<Sensitivity>();
    EXPECT_EQ(abc.inlineEntry(), (MetadataValueAttributes::Entry{key<Parity>(), 4}));
    EXPECT_EQ(abc.overflow(), nullptr);
    abc.set(std::optional<Parity>());
    EXPECT_TRUE(abc.empty());
    abc.remove<Parity>();  // nothing to remove
    EXPECT_TRUE(abc.empty());
}

TEST(MetadataValueAttributes, CopiesDoNotSeeEachOthersChanges) {
    MetadataValueAttributes original(Sensitivity{1}, Priority{2}, Parity{4});
    MetadataValueAttributes copy = original;
    copy.set(Priority{9});
    copy.remove<Parity>();
    EXPECT_EQ(original.get<Priority>()->value, 2);
    EXPECT_EQ(original.get<Parity>()->value, 4);
    EXPECT_EQ(copy.get<Priority>()->value, 9);
    EXPECT_FALSE(copy.get<Parity>());
}

TEST(MetadataValueAttributes, EqualityIgnoresWhereEntriesAreHeld) {
    EXPECT_EQ(MetadataValueAttributes(Sensitivity{1}, Priority{2}),
              MetadataValueAttributes(Priority{2}, Sensitivity{1}));
    EXPECT_NE(MetadataValueAttributes(Sensitivity{1}), MetadataValueAttributes(Sensitivity{2}));
    EXPECT_NE(MetadataValueAttributes(Sensitivity{1}),
              MetadataValueAttributes(Sensitivity{1}, Priority{1}));
    // A repeated type keeps the later value in the earlier place.
    const MetadataValueAttributes repeated(Sensitivity{1}, Priority{2}, Sensitivity{3});
    EXPECT_EQ(repeated.inlineEntry(), (MetadataValueAttributes::Entry{key<Sensitivity>(), 3}));
    EXPECT_EQ(repeated.size(), 2u);
    EXPECT_TRUE(repeated.contains({key<Priority>(), 2}));
    EXPECT_FALSE(repeated.contains({key<Priority>(), 3}));
}

TEST(MetadataValueAttributes, RefusedRawValueReadsAsAbsent) {
    MetadataValueAttributes set;
    set.setRawValue(3, key<Parity>());
    EXPECT_FALSE(set.get<Parity>());
    set.set(Parity{6});
    EXPECT_EQ(set.get<Parity>()->value, 6);
}

TEST(MetadataValueAttributes, MergeLetsTheOtherSetWin) {
    MetadataValueAttributes set(Sensitivity{1}, Priority{2});
    set.merge(MetadataValueAttributes(Priority{5}, Parity{8}));
    EXPECT_EQ(set, MetadataValueAttributes(Sensitivity{1}, Priority{5}, Parity{8}));
    EXPECT_EQ(set.inlineEntry()->key, key<Sensitivity>());
    set.merge(set);
    EXPECT_EQ(set.size(), 3u);
}

TEST(StringInterpolation, WithoutAttributeFormsGivesAPlainString) {
    MetadataValue::StringInterpolation builder(6, 2);
    EXPECT_GE(builder.output().capacity(), 10u);
    builder.appendLiteral("id=");
    builder.appendInterpolation(42);
    builder.appendLiteral(" ok=");
    builder.appendInterpolation(true);
    builder.appendLiteral(" ");
    builder.appendInterpolation(std::optional<int>(), [] { return "none"; });
    builder.appendInterpolation(std::string(" s"));
    const MetadataValue value(std::move(builder));
    EXPECT_EQ(value.kind(), MetadataValue::Kind::string);
    EXPECT_EQ(value.description(), "id=42 ok=true none s");
}

TEST(StringInterpolation, DefaultIsEvaluatedOnlyWhenNeeded) {
    MetadataValue::StringInterpolation builder(0, 1);
    int evaluated = 0;
    builder.appendInterpolation(std::optional<int>(7), [&] {
        ++evaluated;
        return "x";
    });
    EXPECT_EQ(evaluated, 0);
    EXPECT_EQ(builder.output(), "7");
}

TEST(StringInterpolation, AnAttributeFormAlwaysGivesAnAttributedValue) {
    MetadataValue::StringInterpolation builder(4, 1);
    builder.appendLiteral("key ");
    builder.appendInterpolation(7, [](MetadataValueAttributes&) {});
    const MetadataValue value(std::move(builder));
    EXPECT_EQ(value.kind(), MetadataValue::Kind::stringConvertible);
    EXPECT_EQ(value.description(), "key 7");
    EXPECT_TRUE(value.attributes().empty());
    // Equal to another attributed value of the same text, not to the plain string.
    EXPECT_EQ(value, MetadataValue::describing(AttributedStringCarrier("key 7", {}),
                                               MetadataValueAttributes(Priority{1})));
    EXPECT_NE(value, MetadataValue("key 7"));
}

TEST(StringInterpolation, SecondAttributeSetIsMergedIntoTheFirst) {
    MetadataValue::StringInterpolation builder(0, 2);
    builder.appendInterpolation("a", MetadataValueAttributes(Sensitivity{1}, Priority{2}));
    builder.appendInterpolation("b", MetadataValueAttributes(Priority{7}));
    builder.appendInterpolation("c", [](MetadataValueAttributes& set) { set.set(Parity{2}); });
    const MetadataValue value(std::move(builder));
    EXPECT_EQ(value.description(), "abc");
    EXPECT_EQ(value.attributes(), MetadataValueAttributes(Sensitivity{1}, Priority{7}, Parity{2}));
}

TEST(MetadataValue, AttributesAreKeptOnlyByTextValues) {
    MetadataValue text("t");
    EXPECT_TRUE(text.attributes().empty());
    text.setAttributes(MetadataValueAttributes(Priority{3}));
    EXPECT_EQ(text.kind(), MetadataValue::Kind::stringConvertible);
    EXPECT_EQ(text.description(), "t");
    EXPECT_EQ(text.attributes().get<Priority>()->value, 3);
    text.setAttributes({});
    EXPECT_EQ(text.kind(), MetadataValue::Kind::stringConvertible);
    EXPECT_TRUE(text.attributes().empty());

    MetadataValue list = MetadataValue::array({"a"});
    list.setAttributes(MetadataValueAttributes(Priority{3}));
    EXPECT_EQ(list.kind(), MetadataValue::Kind::array);
    EXPECT_TRUE(list.attributes().empty());
}

}  // namespace
}  // namespace logging
