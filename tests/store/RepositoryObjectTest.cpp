#include "store/ChangeRecords.h"
#include "store/RepositoryObject.h"
#include "support/ThrownText.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct SWrittenRecord {
    uint8_t token;
    uint64_t objectId;
    uint64_t propertyId;
    std::string value;
    bool operator==(const SWrittenRecord&) const = default;
};

class CFakeChangeWriter : public IObjectChangeWriter {
public:
    void WritePropertyRecord(uint8_t token, const CRepositoryObject& object, uint64_t propertyId,
                             std::string_view value) override
    {
        if (m_bFail)
            throw std::logic_error("write failed");
        m_vecRecords.push_back({token, object.GetId(), propertyId, std::string(value)});
    }

    std::vector<SWrittenRecord> m_vecRecords;
    bool m_bFail = false;
};

} // namespace

TEST(RepositoryObjectTest, ServerSetWritesAddThenChangeEvenForAnEqualValue)
{
    CFakeChangeWriter writer;
    CRepositoryObject object(3, 42, "obj_1", writer);
    object.SetProperty(7, "Okra");
    object.SetProperty(7, "Okra");
    object.SetProperty(7, "Kale");
    const std::vector<SWrittenRecord> expected{
        {OREC_PROP_ADD, 42, 7, "Okra"}, {OREC_PROP_CHANGE, 42, 7, "Okra"}, {OREC_PROP_CHANGE, 42, 7, "Kale"}};
    EXPECT_EQ(writer.m_vecRecords, expected);
    EXPECT_EQ(object.GetProperty(7), "Kale");
}

TEST(RepositoryObjectTest, ServerRefusalsAndFailedWritesLeaveTheObjectAsItWas)
{
    CFakeChangeWriter writer;
    CRepositoryObject object(1, 1, "o", writer);
    for (uint64_t id = 1; id <= 255; ++id)
        object.AddProperty(id, "v");
    EXPECT_EQ(ThrownText<std::invalid_argument>([&] { object.AddProperty(256, "v"); }), "Too much props per object!");
    EXPECT_EQ(ThrownText<std::invalid_argument>([&] { object.SetProperty(256, "v"); }), "Too much props per object!");
    EXPECT_EQ(object.GetProperties().size(), 255u);
    EXPECT_EQ(writer.m_vecRecords.size(), 255u);

    CRepositoryObject other(1, 2, "p", writer);
    other.AddProperty(1, "old");
    EXPECT_EQ(ThrownText<std::invalid_argument>([&] { other.AddProperty(1, "new"); }), "Already present!");
    writer.m_bFail = true;
    EXPECT_THROW(other.SetProperty(1, "new"), std::logic_error);
    EXPECT_THROW(other.AddProperty(2, "new"), std::logic_error);
    EXPECT_EQ(other.GetProperties(), (CRepositoryObject::PropertyMap{{1, "old"}}));
}

TEST(RepositoryObjectTest, ClientFormsHaveTheirOwnMessages)
{
    CRepositoryObject object(1, 1, "o");
    object.InsertProperty(5, "a");
    EXPECT_EQ(ThrownText<std::invalid_argument>([&] { object.InsertProperty(5, "b"); }), "Property already present!");
    EXPECT_EQ(ThrownText<std::invalid_argument>([&] { object.ChangeProperty(6, "b"); }), "Property not present!");
    EXPECT_EQ(ThrownText<std::invalid_argument>([&] { object.GetProperty(6); }), "No such prop!");
    object.ChangeProperty(5, "c");
    EXPECT_EQ(object.GetProperty(5), "c");
    for (uint64_t id = 100; object.GetProperties().size() < 255; ++id)
        object.InsertProperty(id, "");
    EXPECT_EQ(ThrownText<std::invalid_argument>([&] { object.InsertProperty(1, "x"); }), "Too much props in object!");
    // A client-side object has no stream to write to.
    EXPECT_THROW(object.SetProperty(5, "d"), std::logic_error);
    EXPECT_EQ(object.GetProperty(5), "c");
}
