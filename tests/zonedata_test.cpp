// The zone record: its default state, the setters' refusal of empty values
// and copies that carry exactly the five fields and stay independent.
#include <gtest/gtest.h>

#include "ZoneData.h"

namespace {

struct Flags {
    bool found;
    bool deleted;
    bool isNew;
};

zoneData makeRecord(const std::string& _name, const std::string& _type, Flags _flags) {
    zoneData record;
    record.setZoneName(_name);
    record.setZoneType(_type);
    record.setFound(_flags.found);
    record.setDeletedZone(_flags.deleted);
    record.setNewZone(_flags.isNew);
    return record;
}

void expectRecord(const zoneData& _record, const std::string& _name, const std::string& _type,
                  Flags _flags) {
    EXPECT_EQ(_record.getZoneName(), _name);
    EXPECT_EQ(_record.getZoneType(), _type);
    EXPECT_EQ(_record.isFound(), _flags.found);
    EXPECT_EQ(_record.isDeleted(), _flags.deleted);
    EXPECT_EQ(_record.isNewZone(), _flags.isNew);
}

TEST(ZoneDataRecord, DefaultRecordHasEmptyTextsAndNoFlag) {
    expectRecord(zoneData(), "", "", {false, false, false});
}

TEST(ZoneDataRecord, NamedConstructorTakesTheNameAsGiven) {
    expectRecord(zoneData("Example.COM"), "Example.COM", "", {false, false, false});
    expectRecord(zoneData(""), "", "", {false, false, false});
}

TEST(ZoneDataRecord, SettersIgnoreEmptyValues) {
    zoneData record;
    record.setZoneName("example.com");
    record.setZoneType("master");
    record.setZoneName("");
    record.setZoneType("");
    EXPECT_EQ(record.getZoneName(), "example.com");
    EXPECT_EQ(record.getZoneType(), "master");
    record.setZoneName("other.example");
    record.setZoneType("slave");
    EXPECT_EQ(record.getZoneName(), "other.example");
    EXPECT_EQ(record.getZoneType(), "slave");
}

TEST(ZoneDataRecord, AssignmentCopiesNameTypeAndExactlyTheFlags) {
    const Flags combinations[] = {{true, false, true},  {false, true, false},
                                  {true, true, true},   {false, false, true},
                                  {true, false, false}, {false, false, false}};
    for (const Flags& flags : combinations) {
        SCOPED_TRACE(testing::Message() << flags.found << flags.deleted << flags.isNew);
        const zoneData source = makeRecord("a.example", "master", flags);
        // The target starts with the opposite flags, so each must be copied.
        zoneData target =
            makeRecord("b.example", "slave", {!flags.found, !flags.deleted, !flags.isNew});
        target = source;
        expectRecord(target, "a.example", "master", flags);
        expectRecord(zoneData(source), "a.example", "master", flags);
    }
}

TEST(ZoneDataRecord, CopiesAreIndependent) {
    zoneData original =
        makeRecord("a-rather-long-zone-name.example", "master", {true, false, false});
    zoneData constructed(original);
    zoneData assigned;
    assigned = original;
    constructed.setZoneName("changed.example");
    constructed.setDeletedZone(true);
    assigned.setZoneType("slave");
    assigned.setFound(false);
    expectRecord(original, "a-rather-long-zone-name.example", "master", {true, false, false});
    original.setZoneName("original-changed.example");
    EXPECT_EQ(constructed.getZoneName(), "changed.example");
    EXPECT_EQ(assigned.getZoneName(), "a-rather-long-zone-name.example");
}

}  // namespace
