#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "app/launch/AutomationLaunch.h"

namespace fw {
namespace {

TEST(AutomationLaunch, RecognisesTheArgumentExactlyAndOtherwiseTheEventsFlag) {
    struct Case {
        std::vector<std::string> arguments;
        std::optional<LaunchEvent> event;
        bool expected;
    };
    const std::string program = "/opt/Frameweaver.app/Contents/MacOS/Frameweaver";
    const Case cases[] = {
        {{program, "--frameweaver-automation-launch"}, std::nullopt, true},
        {{program, "--frameweaver-automation-launch"}, LaunchEvent{false}, true},
        {{program, "--frameweaver-automation-launch=1"}, std::nullopt, false},
        {{program, "--FRAMEWEAVER-AUTOMATION-LAUNCH"}, std::nullopt, false},
        {{program}, std::nullopt, false},
        {{program}, LaunchEvent{false}, false},
        {{program}, LaunchEvent{true}, true},
        {{}, LaunchEvent{true}, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(launch_request::isAutomationLaunch(c.arguments, c.event), c.expected)
            << (c.arguments.size() > 1 ? c.arguments[1] : "(no argument)") << ", event "
            << (c.event ? (c.event->automation ? "true" : "false") : "none");
    }
}

TEST(AutomationLaunch, ReadsTheEnvironmentFlagAsANonZeroInteger) {
    struct Case {
        const char* value;
        bool expected;
    };
    for (const Case& c :
         {Case{nullptr, false}, Case{"", false}, Case{"0", false}, Case{"00", false},
          Case{"1", true}, Case{" 1\n", true}, Case{"-1", true}, Case{"2", true},
          Case{"true", false}, Case{"1x", false}, Case{"+", false}}) {
        EXPECT_EQ(launch_request::flagFromEnvironmentValue(c.value), c.expected)
            << (c.value != nullptr ? c.value : "(unset)");
    }
}

TEST(AutomationLaunch, TakesTheEnvironmentFlagOnceAndClearsIt) {
    ASSERT_EQ(::setenv(launch_request::kEnvironmentVariable, "1", 1), 0);
    EXPECT_EQ(launch_request::takeLaunchEventFromEnvironment(), LaunchEvent{true});
    EXPECT_EQ(std::getenv(launch_request::kEnvironmentVariable), nullptr);
    EXPECT_EQ(launch_request::takeLaunchEventFromEnvironment(), LaunchEvent{false});
}

TEST(AutomationBootstrap, ReopenLooksOnlyAtTheEventNeverAtTheArguments) {
    AutomationBootstrap::setProcessArguments({"Frameweaver", "--frameweaver-automation-launch"});
    {
        AutomationBootstrap::EventScope scope(std::nullopt);
        EXPECT_TRUE(AutomationBootstrap::isAutomationLaunch());
        EXPECT_FALSE(AutomationBootstrap::isAutomationReopen());
    }
    {
        AutomationBootstrap::EventScope scope(LaunchEvent{true});
        EXPECT_TRUE(AutomationBootstrap::isAutomationReopen());
    }
    AutomationBootstrap::setProcessArguments({"Frameweaver"});
    EXPECT_FALSE(AutomationBootstrap::isAutomationLaunch());
}

}  // namespace
}  // namespace fw
