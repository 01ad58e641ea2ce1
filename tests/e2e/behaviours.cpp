// The behaviours this suite shows, each with the cases that show it: the table
// the self-check reports by on a user's machine. It lives with the cases so that
// a case renamed, added or removed changes it in the same commit; the suite
// refuses to run while the two disagree.
//
//   e2e_tests.exe --behaviours FILE     writes the table to FILE as JSON and ends
//   e2e_tests.exe [GoogleTest options]  runs the cases
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/options.h"

namespace {

struct behaviour {
    const char* what;
    std::vector<const char*> cases;
};

const behaviour behaviours[] = {
    {"values read exactly, both renderings, sent on change",
     {"EndToEnd.ValuesReachTheMonitorExactlyAndFollowChanges", "EndToEnd.BandCopyReadsWhatTheWholeWindowCopyReads",
      "GlyphResources.LoadedSetEqualsTheBitmapFiles"}},
    {"a late client gets the current values at once",
     {"EndToEnd.LatePeerGetsTheCurrentValuesAtOnce", "Clients.LateClientGetsTheCurrentValuesAtOnce"}},
    {"the hold: a view not whole sends nothing until it is back",
     {"EndToEnd.FieldsNotInFullViewSendNothingUntilWholeAgain",
      "Chaos.PeerGetsOnlyValuesTheFieldsShowedAndTheirValuesAfterEveryReturn"}},
    {"a closed jog window ends the gateway (exit -5)", {"EndToEnd.ClosedJogWindowEndsTheGatewayWithMinusFive"}},
    {"a console that nobody reads never stops the values", {"EndToEnd.ConsoleThatNobodyReadsNeverStopsTheValues"}},
    {"a stalled client gets the newest values, not a backlog",
     {"EndToEnd.PeerThatStallsGetsTheNewestValuesNotABacklog",
      "PipeWrites.PeerThatStopsReadingNeitherBlocksNorTearsMessages", "EndToEnd.PeerThatLeavesDoesNotStopTheGateway"}},
    {"a squatter on the pipe is refused; only the user and SYSTEM may connect",
     {"EndToEnd.SquatterOnThePipeNameIsRefused", "EndToEnd.SecondGatewayEndsWithPipeOpenError",
      "PipeSecurity.AccessListNamesOnlyTheUserAndSystem"}},
    {"errors at start-up are boxes with the right exit codes",
     {"EndToEnd.NoHostShowsTheErrorBoxAndCreatesNoPipe", "EndToEnd.MissingJogWindowNamesTheRobotTwice",
      "EndToEnd.DockedJogWindowIsNotFound", "EndToEnd.BadPipeNameEndsBeforeAnySearch"}},
    {"the probe names each state",
     {"EndToEnd.ProbeNamesTheProblemOfEachState", "EndToEnd.ProbeTellsAScaledDisplay",
      "EndToEnd.ProbeBesideARunningGatewayLeavesItUndisturbed"}},
    {"two gateways serve two robots", {"EndToEnd.TwoGatewaysServeTwoRobotsOnTwoPipes"}},
    {"the clients and the stand-in",
     {"Clients.CppClientReadsTheRealGatewayUntilItGoes", "Clients.CppClientTellsWhyTheGatewayStoppedAtStartUp",
      "Clients.CppClientAsksForTheStateReportAndSeesEveryHold",
      "Clients.RecordingReplaysBitForBitAndTheMonitorRecordsItSo",
      "Clients.ProgramsThatTakeAPipeNameRefuseOneTheGatewayWould",
      "Clients.CppClientTakesExactlyTheFramedUpdatesFromAnImpostor"}},
    {"every program carries its version", {"VersionResource.EveryProgramCarriesTheProjectVersion"}},
};

// What is wrong between the table and the registered cases: a name the suite
// lacks, a case named twice, a case named by no behaviour. Empty when they agree.
std::string disagreements() {
    std::map<std::string, int> named;
    for (const behaviour& b : behaviours)
        for (const char* c : b.cases) ++named[c];
    std::string wrong;
    const testing::UnitTest& suite = *testing::UnitTest::GetInstance();
    for (int i = 0; i < suite.total_test_suite_count(); ++i) {
        const testing::TestSuite& s = *suite.GetTestSuite(i);
        for (int j = 0; j < s.total_test_count(); ++j) {
            const std::string name = std::string(s.name()) + "." + s.GetTestInfo(j)->name();
            const auto it = named.find(name);
            if (it == named.end()) {
                wrong += "  " + name + " is shown by no behaviour\n";
                continue;
            }
            if (it->second > 1) wrong += "  " + name + " is named by more than one behaviour\n";
            named.erase(it);
        }
    }
    for (const auto& [name, count] : named) wrong += "  " + name + " is named but is no case of this suite\n";
    return wrong;
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (const std::string wrong = disagreements(); !wrong.empty()) {
        std::fprintf(stderr, "e2e_tests: the table of behaviours and the cases disagree:\n%s", wrong.c_str());
        return 1;
    }
    // What GoogleTest did not take is ours.
    std::string table_path;
    read_options_or_exit(argc, argv, "e2e_tests", "e2e_tests [--behaviours FILE] [GoogleTest's options]",
                         {{"--behaviours", &table_path}});
    if (table_path.empty()) return RUN_ALL_TESTS();
    nlohmann::json table = nlohmann::json::array();
    for (const behaviour& b : behaviours) table.push_back({{"what", b.what}, {"cases", b.cases}});
    std::ofstream out(table_path, std::ios::binary);
    out << table.dump(2) << '\n';
    if (out.good()) return 0;
    std::fprintf(stderr, "e2e_tests: could not write %s\n", table_path.c_str());
    return 1;
}
