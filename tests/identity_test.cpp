#include <gtest/gtest.h>

#include <cstring>

#include "TestSupport.h"
#include "device/Packet.h"
#include "device/Transport.h"
#include "protocol/Identity.h"
#include "device/Device.h"

using vasqsim::DeviceModel;
using vasqsim::FaultKind;

class IdentityTest : public DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        m_device = StartDevice(0);
    }
    void SetIdentity(const std::vector<uint8_t>& bytes)
    {
        m_device->WithModel([&](DeviceModel& m) { std::copy(bytes.begin(), bytes.end(), m.identity.begin()); });
    }
    std::unique_ptr<vasqsim::SimDevice> m_device;
};

TEST_F(IdentityTest, ProbeAcceptsVasq9AndErasedIdentityOnly)
{
    struct Case {
        std::vector<uint8_t> identity;
        bool accepted;
    } cases[] = {
        {IdentityBytes('Q', 'X', 0x70, 0x00), true},
        {IdentityBytes('Q', 'X', 0x70, 0xC3), true},
        {IdentityBytes(0xFF, 0xFF, 0x12, 0xFF, 0xFFFF, 0xFF), true},
        {IdentityBytes('Q', 'X', 0x71), false},
        {IdentityBytes('Q', 'Y', 0x70), false},
        {IdentityBytes(0xFF, 0x00, 0x70), false},
    };
    for (const Case& c : cases) {
        SetIdentity(c.identity);
        EXPECT_EQ(c.accepted, FindDevice(m_instrument, 0)) << int(c.identity[0]) << " " << int(c.identity[2]);
        DeviceClose(m_instrument);
    }
}

TEST_F(IdentityTest, AnswerIsDecodedAndSerialIndexClamped)
{
    ASSERT_TRUE(FindDevice(m_instrument, 0));
    const std::pair<uint16_t, int> indexes[] = {{10000, 9999}, {9999, 9999}, {1000, 1000}, {0xFFFF, 9999}};
    for (const auto& [sent, stored] : indexes) {
        SetIdentity(IdentityBytes('Q', 'X', 0x70, 1, sent, 7));
        ASSERT_TRUE(UpdateDeviceInformation(m_instrument));
        MODEL_INFORMATION model;
        GetDeviceInformation(m_instrument, &model);
        EXPECT_EQ(stored, model.nSerialIndex) << sent;
    }
    HW_INFORMATION hw;
    BOOTLOADER_INFORMATION boot;
    GetHWInformation(m_instrument, &hw);
    GetBootloaderInformation(m_instrument, &boot);
    EXPECT_EQ(1, hw.nFWVersion1);
    EXPECT_EQ(4, hw.nFWVersion2);
    EXPECT_EQ(2, hw.nFWVersion3);
    EXPECT_EQ(2, hw.nHWVersion1);
    EXPECT_EQ(1, hw.nHWVersion2);
    EXPECT_EQ(1, boot.nBootVersion1);
    EXPECT_EQ(3, boot.nBootVersion3);

    // A failed request leaves the records as they were.
    m_device->InjectFault({FaultKind::Status});
    SetIdentity(IdentityBytes('Q', 'X', 0x70, 1, 5, 7));
    EXPECT_FALSE(UpdateDeviceInformation(m_instrument));
    EXPECT_EQ(9999, m_instrument.m_ModelInfo.nSerialIndex);
}

TEST_F(IdentityTest, SerialNumberTextIsFourteenCharactersOrEmpty)
{
    EXPECT_STREQ("", FormatSerialNumber(m_instrument)) << "no device identified yet";
    ASSERT_TRUE(FindDevice(m_instrument, 0));
    EXPECT_STREQ("NQX7001-070042", FormatSerialNumber(m_instrument));

    SetIdentity(IdentityBytes('Q', 'X', 0x70, 0xAB, 3, 99));
    ASSERT_TRUE(UpdateDeviceInformation(m_instrument));
    EXPECT_STREQ("NQX70AB-990003", FormatSerialNumber(m_instrument));

    SetIdentity(IdentityBytes('Q', 'X', 0x70, 1, 42, 123));
    ASSERT_TRUE(UpdateDeviceInformation(m_instrument));
    EXPECT_STREQ("", FormatSerialNumber(m_instrument));

    SetIdentity(IdentityBytes(0xFF, 0xFF, 0xFF, 0xFF, 0xFFFF, 0xFF));
    ASSERT_TRUE(UpdateDeviceInformation(m_instrument));
    EXPECT_STREQ("", FormatSerialNumber(m_instrument));

    ClearDeviceIdentity(m_instrument);
    EXPECT_STREQ("", FormatSerialNumber(m_instrument));
    BOOTLOADER_INFORMATION boot;
    GetBootloaderInformation(m_instrument, &boot);
    EXPECT_EQ(1, boot.nBootVersion1) << "the boot loader record outlives the connection";
}

TEST_F(IdentityTest, IdentityWriteAlwaysSignsQX)
{
    ASSERT_TRUE(FindDevice(m_instrument, 0));
    m_device->ClearLog();
    MODEL_INFORMATION model = {{'A', 'B'}, 0x70, 0x05, 0x1234, 0x12345};
    HW_INFORMATION hw = {0x101, 2, 3, 4, 5};
    ASSERT_TRUE(SetDeviceInformation(m_instrument, &model, &hw));
    const auto log = m_device->Log();
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ('S', log[0].category);
    EXPECT_EQ(128, log[0].command);
    const std::vector<uint8_t> expected = {'Q', 'X', 0x70, 0x05, 0x45, 0x23, 0x34, 0, 4, 5, 0x01, 2, 3, 0, 0, 0, 0};
    EXPECT_EQ(expected, log[0].payload);
    EXPECT_EQ(0, log[1].command) << "the identity is read back";
    EXPECT_EQ('Q', m_instrument.m_ModelInfo.chSignature[0]);
    EXPECT_EQ(0x34, m_instrument.m_ModelInfo.nSerialGroup);
    EXPECT_EQ(0x2345, m_instrument.m_ModelInfo.nSerialIndex) << "the index travels as its low 16 bits";
    EXPECT_EQ(1, m_instrument.m_bootloaderInfo.nBootVersion1) << "the boot loader version is never written";
}

TEST_F(IdentityTest, ManufacturingInfoIsTheFirstSixteenBytes)
{
    ASSERT_TRUE(FindDevice(m_instrument, 0));
    for (unsigned long size : {4ul, 16ul, 100ul}) {
        uint8_t buffer[100];
        memset(buffer, 0x5A, sizeof(buffer));
        ASSERT_TRUE(ReadMfgInfo(m_instrument, buffer, size));
        const unsigned long copied = std::min(size, 16ul);
        for (unsigned long i = 0; i < copied; ++i)
            EXPECT_EQ(0xA0 + i, buffer[i]);
        EXPECT_EQ(0x5A, buffer[copied]) << "copied past " << copied;
    }

    m_device->ClearLog();
    const uint8_t data[] = {1, 2, 3};
    ASSERT_TRUE(WriteMfgInfo(m_instrument, data, sizeof(data)));
    const auto log = m_device->Log();
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ(1, log[0].command);
    EXPECT_EQ(129, log[1].command);
    std::vector<uint8_t> expected(64);
    for (size_t i = 0; i < 64; ++i)
        expected[i] = static_cast<uint8_t>(0xA0 + i);
    expected[0] = 1;
    expected[1] = 2;
    expected[2] = 3;
    EXPECT_EQ(expected, log[1].payload);

    std::vector<uint8_t> longer(40, 0x77);
    ASSERT_TRUE(WriteMfgInfo(m_instrument, longer.data(), longer.size()));
    std::array<uint8_t, 64> record{};
    m_device->WithModel([&](DeviceModel& m) { record = m.mfgRecord; });
    EXPECT_EQ(0x77, record[15]);
    EXPECT_EQ(0xA0 + 16, record[16]);

    m_device->InjectFault({FaultKind::NoAnswer}, 'S', 1);
    EXPECT_FALSE(WriteMfgInfo(m_instrument, data, sizeof(data)));
}
