#include "Plugin/errors.h"

#include <gtest/gtest.h>

#include "host/localized_string.h"

namespace kadro {
namespace {

using E = ZadaZevuPluginError;

class ErrorTexts : public ::testing::Test {
 protected:
  void TearDown() override { ph::setStringTable({}); }
};

TEST_F(ErrorTexts, CodesFollowTheOrderOfTheCases) {
  EXPECT_EQ(E::invalidSettingValue("x").code(), 0);
  EXPECT_EQ(E::invalidActionSettings("x", nullptr).code(), 1);
  EXPECT_EQ(E::duplicatePresetName("x").code(), 2);
  EXPECT_EQ(E::invalidAction().code(), 3);
  EXPECT_EQ(E::invalidTaskFiles().code(), 4);
  EXPECT_EQ(E::unsupportedEvent().code(), 5);
  // Added later, after them, so that their codes stay.
  EXPECT_EQ(E::presetStoreFailure("f", "r").code(), 6);
}

TEST_F(ErrorTexts, ShortTextsKeepTheirExactWording) {
  EXPECT_EQ(E::invalidSettingValue("Max Size").errorDescription(), "Invalid value for Max Size.");
  EXPECT_EQ(E::invalidActionSettings("Export Path", nullptr).errorDescription(),
            "Invalid value for Export Path");
  const std::string duplicate = E::duplicatePresetName("Square").errorDescription();
  EXPECT_EQ(duplicate, "Preset \"Square\" already exists.");
  EXPECT_EQ(duplicate.size(), 31u);
  EXPECT_EQ(E::invalidAction().errorDescription(), "Innvalid action.");
  EXPECT_EQ(E::invalidTaskFiles().errorDescription(), "Invalid task files.");
  EXPECT_EQ(E::unsupportedEvent().errorDescription(), "Unsupported event.");
}

TEST_F(ErrorTexts, LongTextsKeepTheirExactWording) {
  auto action = std::make_shared<ph::PluginAction>("Export with Kadro");
  EXPECT_EQ(E::invalidActionSettings("Export Path", action).failureReason(),
            "The value supplied for Export Path is not valid for performing Export with Kadro.");
  EXPECT_EQ(E::invalidSettingValue("Custom Color").failureReason(),
            "The value you provided for Custom Color is not valid.");
  EXPECT_EQ(E::duplicatePresetName("Circle").failureReason(),
            "A preset named \"Circle\" already exists. Please select a differnent name to create "
            "a new preset.");
  EXPECT_EQ(E::invalidAction().failureReason(), "The action cannot be performed by this plugin.");
  EXPECT_EQ(E::invalidTaskFiles().failureReason(),
            "The files supplied along with the task are not valid for starting the task.");
  EXPECT_EQ(E::unsupportedEvent().failureReason(), "The specified event type is unknown.");
}

TEST_F(ErrorTexts, PayloadIsKeptAndTheActionIsShared) {
  auto action = std::make_shared<ph::PluginAction>("Export with Kadro");
  const E e = E::invalidActionSettings("Export Path", action);
  EXPECT_EQ(e.errorCase(), E::Case::invalidActionSettings);
  EXPECT_EQ(e.setting(), "Export Path");
  EXPECT_EQ(e.action(), action);
  EXPECT_EQ(E::duplicatePresetName("Square").name(), "Square");
  EXPECT_EQ(E::duplicatePresetName("Square").setting(), "");
  // An action without a display name, or none at all, still gives a text.
  EXPECT_EQ(E::invalidActionSettings("S", nullptr).failureReason(),
            "The value supplied for S is not valid for performing .");
}

TEST_F(ErrorTexts, FinishedEnglishTextIsTheKeyOfTheHostTable) {
  ph::setStringTable({{"Preset \"Square\" already exists.", "Voreinstellung existiert"},
                      {"Innvalid action.", "Ungültige Aktion."}});
  EXPECT_EQ(E::duplicatePresetName("Square").errorDescription(), "Voreinstellung existiert");
  EXPECT_EQ(E::duplicatePresetName("Circle").errorDescription(),
            "Preset \"Circle\" already exists.");
  EXPECT_EQ(E::invalidAction().errorDescription(), "Ungültige Aktion.");
  // Logs stay English whatever the table says.
  EXPECT_STREQ(E::invalidAction().what(), "Innvalid action.");
}

TEST_F(ErrorTexts, ReachesTheHostAsAnErrorObject) {
  ph::Error error;
  report(E::invalidTaskFiles(), &error);
  EXPECT_EQ(error.domain, "KadroPlugin.ZadaZevuPluginError");
  EXPECT_EQ(error.code, 4);
  EXPECT_EQ(error.localizedDescription, "Invalid task files.");
  EXPECT_EQ(error.localizedFailureReason,
            "The files supplied along with the task are not valid for starting the task.");
  report(E::invalidAction(), nullptr);  // the host may pass no error object
}

TEST_F(ErrorTexts, IsThrownAndCaughtAsAnException) {
  try {
    throw E::duplicatePresetName("Square");
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Preset \"Square\" already exists.");
  }
}

}  // namespace
}  // namespace kadro
