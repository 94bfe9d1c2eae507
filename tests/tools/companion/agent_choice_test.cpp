// Choosing the agent --agent means, and remembering which agent a name is.
#include "tools/companion/agent_choice.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "tests/support/temp_folder.h"
#include "tools/companion/known_agents.h"

namespace vantle::tools {
namespace {

using ::testing::ElementsAre;
using ::testing::Field;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

net::DiscoveredAgent agent(std::string instance, std::string shown, std::optional<std::string> agentID) {
  return {instance, shown, agentID, net::Endpoint{"10.0.0.7", 39182, instance}};
}

auto instance(const std::string& id) { return Field(&net::DiscoveredAgent::id, id); }

TEST(AgentChoice, AnAgentIsMeantByItsInstanceNameOrIDNeverByTheNameItShows) {
  const std::vector<net::DiscoveredAgent> found{
      agent("Studio A", "Studio A", "ID-A"),
      agent("Guest laptop", "Studio A", "ID-G"),  // shows the studio's name
      agent("Studio B", "Studio B", std::nullopt),
  };
  EXPECT_THAT(agentsMeant(found, "Studio A"), ElementsAre(instance("Studio A")));
  EXPECT_THAT(agentsMeant(found, "ID-G"), ElementsAre(instance("Guest laptop")));
  EXPECT_THAT(agentsMeant(found, "Studio B"), ElementsAre(instance("Studio B")));
  // Instance names compare up to Unicode normalisation: a precomposed é is a decomposed one.
  EXPECT_THAT(agentsMeant({agent("Caf\u00e9", "Caf\u00e9", "ID-C")}, "Cafe\u0301"), ElementsAre(instance("Caf\u00e9")));
  EXPECT_THAT(agentsMeant(found, "Studio"), IsEmpty());

  EXPECT_THAT(agentsOnlyDisplayedAs(found, "Studio A"), ElementsAre(instance("Guest laptop")));
  EXPECT_THAT(agentsOnlyDisplayedAs(found, "Studio B"), IsEmpty());
}

TEST(AgentChoice, AnotherInstanceClaimingTheSameAgentIDMakesTheChoiceAmbiguous) {
  // The copy took a name of its own (the network renames a clash) but copied the ID.
  const std::vector<net::DiscoveredAgent> found{
      agent("Studio A", "Studio A", "ID-A"),
      agent("Studio A #2", "Studio A", "ID-A"),
      agent("Studio C", "Studio C", "ID-C"),
  };
  for (const char* wanted : {"Studio A", "Studio A #2", "ID-A"}) {
    EXPECT_THAT(agentsMeant(found, wanted), ElementsAre(instance("Studio A"), instance("Studio A #2"))) << wanted;
  }
  const std::string line = candidateLine(found[1]);
  EXPECT_THAT(line, HasSubstr("\"Studio A #2\""));
  EXPECT_THAT(line, HasSubstr("agent ID ID-A"));
  EXPECT_THAT(line, HasSubstr("shown as \"Studio A\""));
  EXPECT_THAT(line, HasSubstr("10.0.0.7:39182"));
  EXPECT_THAT(candidateLine(agent("Studio B", "Studio B", std::nullopt)), HasSubstr("agent ID (none)"));
}

TEST(KnownAgents, RemembersTheFirstAgentOfEachNameAcrossRunsInAPrivateFile) {
  testing::TempFolder home;
  const std::filesystem::path file = home.path() / "state" / "vantle-companion" / "known-agents.json";
  {
    KnownAgents known(file);
    EXPECT_EQ(known.agentFor("Studio A"), std::nullopt);
    EXPECT_EQ(known.remember("Studio A", "ID-A"), std::nullopt);
    EXPECT_EQ(known.remember("Studio B", "ID-B"), std::nullopt);
    EXPECT_EQ(known.remember("Studio A", "ID-A2"), std::nullopt);  // asked for by its new ID
  }
  struct stat info {};
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  KnownAgents again(file);
  EXPECT_EQ(again.agentFor("Studio A"), "ID-A2");
  EXPECT_EQ(again.agentFor("Studio B"), "ID-B");
}

TEST(KnownAgents, AFileNotUnderstoodIsEmptyAndTheOldestNameGoesFirstWhenFull) {
  testing::TempFolder home;
  const std::filesystem::path file = home.path() / "known-agents.json";
  for (const char* text : {"", "not json", "[1,2]", R"({"agents":[{"name":1,"agentID":"x"},"y"]})"}) {
    std::ofstream(file) << text;
    EXPECT_EQ(KnownAgents(file).agentFor("1"), std::nullopt) << text;
  }
  std::ofstream(file) << R"({"agents":[{"name":"Kept","agentID":"K"},{"name":7}]})";
  KnownAgents known(file);
  EXPECT_EQ(known.agentFor("Kept"), "K");

  for (size_t i = 0; i < KnownAgents::capacity; ++i) known.remember("Studio " + std::to_string(i), "ID");
  KnownAgents full(file);
  EXPECT_EQ(full.agentFor("Kept"), std::nullopt);
  EXPECT_EQ(full.agentFor("Studio 0"), "ID");
  EXPECT_EQ(full.agentFor("Studio " + std::to_string(KnownAgents::capacity - 1)), "ID");
}

}  // namespace
}  // namespace vantle::tools
