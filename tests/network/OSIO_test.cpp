#include "kernel/OSIO.h"

#include <string>

#include "gtest/gtest.h"
#include "kernel/OSBuf.h"
#include "network/CaptureConsole.h"

namespace {

TEST(OSIOTest, BaseEndpointRefusesAndReleasesData) {
  CaptureConsole console;
  OSIO io;
  const int free_before = OSBuf::PoolSize(1);
  EXPECT_EQ(io.DataIndication(OSBuf::Alloc("a")), OSIO::NotSupported);
  EXPECT_EQ(io.DatagramIndication(OSBuf::Alloc("c"), nullptr, nullptr),
            OSIO::NotSupported);
  EXPECT_EQ(OSBuf::PoolSize(1), free_before);
  OSIO::OSIOModem modem = OSIO::BO;
  EXPECT_EQ(io.GetModem(modem), OSIO::NotSupported);
  EXPECT_EQ(static_cast<int>(modem), 115);
  OSBuf* recovered = OSBuf::Alloc(1);
  OSBuf* held = recovered;
  EXPECT_EQ(io.RecoverBuffer(&recovered), OSIO::NotSupported);
  EXPECT_EQ(recovered, nullptr);
  held->Free();
}

TEST(OSIOTest, BindingPairsEndpointsUntilEitherGoes) {
  OSIO a;
  EXPECT_EQ(a.Partner(), OSNullIO);
  {
    OSIO b;
    a.Bind(&b);
    EXPECT_TRUE(a.IsBound());
    EXPECT_EQ(b.Partner(), &a);
    b.UnBind();
    EXPECT_EQ(a.Partner(), OSNullIO);
    a.Bind(&b);
  }
  EXPECT_FALSE(a.IsBound());
}

TEST(OSIOTest, AddressTextIsCopiedAndBounded) {
  std::string text(500, 'h');
  EXPECT_EQ(std::string(OSIOAddress(&text[0]).destination),
            std::string(131, 'h'));
  EXPECT_STREQ(OSIOAddress(nullptr).destination, "");
}

}  // namespace
