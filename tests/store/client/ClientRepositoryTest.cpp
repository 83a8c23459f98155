#include "store/ChangeRecords.h"
#include "store/client/ObjectsRepository.h"
#include "support/RecordBodyBuilder.h"
#include "support/StdoutCapture.h"
#include "support/ThrownText.h"
#include "Subsidiary/ObjArchiveException.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

void Apply(CObjectsRepository& repository, const CRecordBodyBuilder& body)
{
    repository.ApplyRecords(body.Data(), body.Size());
}

// Types {1 Bean}, properties {1 Kale, 2 Okra}, obj_1 (id 1) holding Kale = a, obj_2 (id 2).
CRecordBodyBuilder BaseBody()
{
    CRecordBodyBuilder body;
    body.PropDef(1, "Kale").PropDef(2, "Okra").TypeDef(1, "Bean");
    body.Create(1, 1, 1, "obj_1").Entry(1, "a").Create(1, 2, 0, "obj_2");
    return body;
}

enum class EKind { Logic, InvalidArgument, EndOfData };

struct SRefusal {
    const char* label;
    CRecordBodyBuilder body;
    const char* message;
    EKind kind;
};

EKind KindOf(const std::logic_error& e)
{
    if (dynamic_cast<const CObjArchiveException*>(&e) != nullptr)
        return EKind::EndOfData;
    if (dynamic_cast<const std::invalid_argument*>(&e) != nullptr)
        return EKind::InvalidArgument;
    return EKind::Logic;
}

std::vector<SRefusal> Refusals()
{
    using B = CRecordBodyBuilder;
    const EKind L = EKind::Logic, I = EKind::InvalidArgument;
    return {
        {"class 0", B().U8(0x07), "Bad token!", L},
        {"class 7", B().U8(0x70), "Bad token!", L},
        {"class E", B().U8(0xE3), "Bad token!", L},
        {"type name known", B().TypeDef(2, "Bean"), "Duplicate object type!", L},
        {"type id known", B().TypeDef(1, "Pea"), "Duplicate object type ID!", L},
        {"property name known", B().PropDef(3, "Kale"), "Duplicate property name 1!", L},
        {"property id known", B().PropDef(1, "Corn"), "Duplicate property name 2!", L},
        {"object name known", B().Create(1, 3, 0, "obj_1"), "Duplicate obj name!", L},
        {"object id known", B().Create(1, 1, 0, "obj_9"), "Duplicate obj ID!", L},
        {"entry twice", B().Create(1, 3, 2, "obj_3").Entry(1, "x").Entry(1, "y"), "Duplicate property ID!", L},
        {"delete unknown", B().Delete(9), "Delete unknown obj!", L},
        {"operation 2", B().Prop(0x42, 1, 1, "v"), "Bad operation for object prop!", L},
        {"operation 2, unknown object", B().Prop(0x42, 9, 1, "v"), "No such object!", I},
        {"add present", B().Prop(OREC_PROP_ADD, 1, 1, "v"), "Property already present!", I},
        {"change absent", B().Prop(OREC_PROP_CHANGE, 1, 2, "v"), "Property not present!", I},
        {"change unknown object", B().Prop(OREC_PROP_CHANGE, 9, 1, "v"), "No such object!", I},
        {"copy from object without it", B().Copy(2, 1, 1), "No such prop!", I},
        {"copy to object without it", B().Copy(1, 2, 1), "Property not present!", I},
        {"copy from unknown object", B().Copy(9, 1, 1), "No such object!", I},
        {"broken check", B().Check(0x12345678FF0055ABULL), "Broken feed!", L},
        {"cut-off id", B().U8(OREC_PROP_CHANGE).U8(1), "Unexpected end of data!", EKind::EndOfData},
        {"unterminated name", B().U8(OREC_TYPE_DEF).U16(5).U8('a'), "Unexpected end of data!", EKind::EndOfData},
    };
}

} // namespace

TEST(ClientRepositoryTest, AppliesEveryKindOfRecord)
{
    CObjectsRepository repository;
    CRecordBodyBuilder body = BaseBody();
    body.Prop(OREC_PROP_ADD, 2, 2, "b").Prop(OREC_PROP_CHANGE, 1, 1, "c");
    body.Prop(OREC_PROP_ADD, 2, 1, "").Copy(1, 2, 1).Check(OREC_CHECK_VALUE);
    body.Create(1, 3, 0, "obj_3").Delete(3).Create(1, 4, 0, "obj_3"); // a deleted name is free again
    Apply(repository, body);

    EXPECT_EQ(repository.GetObjectCount(), 3u);
    EXPECT_EQ(repository.GetTypeName(1), "Bean");
    EXPECT_EQ(repository.GetPropertyName(2), "Okra");
    const CRepositoryObject& second = repository.FindObject(2);
    EXPECT_EQ(second.GetName(), "obj_2");
    EXPECT_EQ(second.GetProperties(), (CRepositoryObject::PropertyMap{{1, "c"}, {2, "b"}}));
    EXPECT_EQ(repository.FindObject(1).GetProperties(), (CRepositoryObject::PropertyMap{{1, "c"}}));
    EXPECT_EQ(repository.FindObject(4).GetName(), "obj_3");
    EXPECT_THROW(repository.FindObject(3), std::invalid_argument);
}

// Objects are kept in arrival order and a deleted one's place is taken by the last: every
// object left must still be found as itself, also across the store's chunks of objects.
TEST(ClientRepositoryTest, DeletingFromTheMiddleKeepsEveryOtherObjectFindable)
{
    CObjectsRepository repository;
    CRecordBodyBuilder body;
    body.TypeDef(1, "Bean");
    for (uint64_t id = 1; id <= 2100; ++id)
        body.Create(1, id, 0, "obj_" + std::to_string(id));
    Apply(repository, body);
    const std::vector<uint64_t> deleted = {5, 1030, 2100, 1};
    CRecordBodyBuilder deletes;
    for (uint64_t id : deleted)
        deletes.Delete(id);
    Apply(repository, deletes);

    EXPECT_EQ(repository.GetObjectCount(), 2100u - deleted.size());
    for (uint64_t id = 1; id <= 2100; ++id) {
        const bool gone = std::find(deleted.begin(), deleted.end(), id) != deleted.end();
        if (gone)
            EXPECT_THROW(repository.FindObject(id), std::invalid_argument) << id;
        else
            EXPECT_EQ(repository.FindObject(id).GetName(), "obj_" + std::to_string(id)) << id;
    }
    Apply(repository, CRecordBodyBuilder().Create(1, 5, 0, "obj_1030")); // its name is free again
    EXPECT_EQ(repository.FindObject(5).GetName(), "obj_1030");
}

TEST(ClientRepositoryTest, EveryTokenOfAClassChoosesItsHandler)
{
    CObjectsRepository repository;
    CRecordBodyBuilder body;
    body.TypeDef(7, "Pea", 0x1A).PropDef(9, "Corn", 0x2F).Create(7, 5, 0, "obj_5", 0x3F);
    body.Prop(OREC_PROP_ADD, 5, 9, "v").Feed(1, 0x5F);
    body.U8(0x6D).U64(5).U64(5).U64(9).U8(0xF7).U64(OREC_CHECK_VALUE); // a copy and a check
    Apply(repository, body);
    EXPECT_EQ(repository.GetTypeName(7), "Pea");
    EXPECT_EQ(repository.GetPropertyName(9), "Corn");
    EXPECT_EQ(repository.FindObject(5).GetProperty(9), "v");
}

TEST(ClientRepositoryTest, RefusalsCarryTheirMessagesAndKeepEarlierRecords)
{
    for (const SRefusal& refusal : Refusals()) {
        SCOPED_TRACE(refusal.label);
        CObjectsRepository repository;
        Apply(repository, BaseBody());
        CRecordBodyBuilder body;
        body.PropDef(50, "Before");
        for (uint8_t byte : refusal.body.Bytes())
            body.U8(byte);
        try {
            Apply(repository, body);
            ADD_FAILURE() << "not refused";
        } catch (const std::logic_error& e) {
            EXPECT_STREQ(e.what(), refusal.message);
            EXPECT_EQ(KindOf(e), refusal.kind);
        }
        EXPECT_EQ(repository.GetPropertyName(50), "Before");
    }
}

TEST(ClientRepositoryTest, RefusedRecordsLeaveNoHalfEntries)
{
    CObjectsRepository repository;
    Apply(repository, BaseBody());
    EXPECT_THROW(Apply(repository, CRecordBodyBuilder().TypeDef(1, "Pea")), std::logic_error);
    EXPECT_THROW(Apply(repository, CRecordBodyBuilder().PropDef(1, "Corn")), std::logic_error);
    EXPECT_THROW(Apply(repository, CRecordBodyBuilder().Create(1, 1, 0, "obj_9")), std::logic_error);
    // The names of the refused records are still free.
    CRecordBodyBuilder body;
    body.TypeDef(2, "Pea").PropDef(3, "Corn").Create(2, 9, 0, "obj_9");
    Apply(repository, body);
    EXPECT_EQ(repository.GetTypeName(2), "Pea");
    EXPECT_EQ(repository.FindObject(9).GetTypeId(), 2);
}

TEST(ClientRepositoryTest, TheTwoHundredFiftySixthPropertyIsRefused)
{
    CObjectsRepository repository;
    CRecordBodyBuilder body = BaseBody();
    for (uint64_t id = 2; id <= 255; ++id)
        body.Prop(OREC_PROP_ADD, 1, id, "v");
    Apply(repository, body);
    EXPECT_EQ(ThrownText<std::invalid_argument>(
                  [&] { Apply(repository, CRecordBodyBuilder().Prop(OREC_PROP_ADD, 1, 256, "v")); }),
              "Too much props in object!");
    EXPECT_EQ(repository.FindObject(1).GetProperties().size(), 255u);
}

TEST(ClientRepositoryTest, PropertyEntriesContinueAtTheStartOfTheNextBodies)
{
    CObjectsRepository repository;
    Apply(repository, BaseBody());
    Apply(repository, CRecordBodyBuilder().Create(1, 5, 4, "obj_5").Entry(1, "a"));
    Apply(repository, CRecordBodyBuilder().Entry(2, "b"));
    Apply(repository, CRecordBodyBuilder().Entry(3, "c").Entry(4, "d").Prop(OREC_PROP_CHANGE, 5, 1, "z"));
    EXPECT_EQ(repository.FindObject(5).GetProperties(),
              (CRepositoryObject::PropertyMap{{1, "z"}, {2, "b"}, {3, "c"}, {4, "d"}}));
}

TEST(ClientRepositoryTest, ARefusalEndsTheContinuation)
{
    CObjectsRepository repository;
    Apply(repository, BaseBody());
    Apply(repository, CRecordBodyBuilder().Create(1, 5, 3, "obj_5").Entry(1, "a"));
    EXPECT_THROW(Apply(repository, CRecordBodyBuilder().Entry(2, "b").U8(0x07)), std::logic_error);
    // Read as an entry, this body would add a junk property to obj_5.
    Apply(repository, CRecordBodyBuilder().Prop(OREC_PROP_ADD, 2, 1, "x"));
    EXPECT_EQ(repository.FindObject(5).GetProperties(), (CRepositoryObject::PropertyMap{{1, "a"}, {2, "b"}}));
    EXPECT_EQ(repository.FindObject(2).GetProperty(1), "x");
}

TEST(ClientRepositoryTest, FeedCompletionReportsTheChangesSinceThePreviousOne)
{
    CObjectsRepository repository;
    CStdoutCapture capture;
    Apply(repository, CRecordBodyBuilder().Feed(4));
    Apply(repository, BaseBody());
    Apply(repository, CRecordBodyBuilder().Feed(5));
    const std::string log = capture.Take();
    EXPECT_NE(log.find("] OnFeedComplete : Feed 4 completed, objects : 0, changes : 0!\r\n"), std::string::npos) << log;
    // The completion of feed 4 counts, then the five records of the base body.
    EXPECT_NE(log.find("] OnFeedComplete : Feed 5 completed, objects : 2, changes : 6!\r\n"), std::string::npos) << log;
}

TEST(ClientRepositoryTest, LookupsRefuseUnknownIdentifiers)
{
    CObjectsRepository repository;
    Apply(repository, BaseBody());
    EXPECT_EQ(ThrownText<std::invalid_argument>([&] { repository.FindObject(0); }), "No such object!");
    EXPECT_EQ(ThrownText<std::invalid_argument>([&] { repository.GetTypeName(2); }), "Unknown object type ID!");
    EXPECT_EQ(ThrownText<std::invalid_argument>([&] { repository.GetPropertyName(3); }), "No such prop!");
}

TEST(ClientRepositoryTest, CleanupEmptiesTheStoreAndTheContinuation)
{
    CObjectsRepository repository;
    Apply(repository, BaseBody());
    Apply(repository, CRecordBodyBuilder().Create(1, 5, 3, "obj_5").Entry(1, "a"));
    CStdoutCapture capture;
    repository.Cleanup();
    const std::string log = capture.Take();
    EXPECT_NE(log.find("] CObjectsRepository::Cleanup : Delete objects...\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("] CObjectsRepository::Cleanup : Done\r\n"), std::string::npos) << log;
    EXPECT_EQ(repository.GetObjectCount(), 0u);
    // Everything may be defined again, and the next body starts with a token.
    Apply(repository, BaseBody());
    EXPECT_EQ(repository.FindObject(1).GetProperties().size(), 1u);
}
