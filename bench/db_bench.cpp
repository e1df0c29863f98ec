// Figures for the data layer: keys per second from CreatePrimaryKey with their persistence,
// and the time the client waits for api/category/fetch over 1000 categories on the real
// program. Prints figures; judges nothing.
#include "db_internal.h"
#include "account.h"
#include "live_server.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

void KeysPerSecond()
{
    tavolex::testing::TestHome home;
    tavolex::db::ResetKeyStateForTesting();
    tavolex::db::AccountDatabase::CreatePrimaryKey(); // server number, first reservation
    constexpr int kKeys = 200000;
    auto start = Clock::now();
    for (int i = 0; i < kKeys; ++i)
        tavolex::db::AccountDatabase::CreatePrimaryKey();
    double seconds = Seconds(Clock::now() - start);
    std::printf("SQLCreatePrimaryKey: %d keys in %.3f s = %.0f keys/s (counter persisted)\n", kKeys,
                seconds, kKeys / seconds);
}

void CategoryFetch()
{
    tavolex::testing::LiveServer server(TAVOLEX_BINARY, [](const std::string& home) {
        setenv("TAVOLEX_HOME", home.c_str(), 1);
        tavolex::account::PrepareDatabase();
        tavolex::db::AccountDatabase database{"main"};
        database.Open(tavolex::db::DefaultDatabasePath());
        database.Execute("BEGIN;");
        for (int i = 0; i < 1000; ++i)
            database.ExecuteFormat("INSERT INTO main.CATEGORY(ID, NAME, DESCRIPTION, CREATED_DATE) "
                                   "VALUES('%d', 'Category %d', 'Dishes of the day, %d', now());",
                                   i, i, i);
        database.Execute("COMMIT;");
    });
    tavolex::testing::HttpClient client(server.port());
    std::string cookie = client.Request("GET", "api/account/issessionvalid").Header("Set-Cookie");
    client.SetCookie(cookie.substr(14, 18));
    std::vector<double> times;
    size_t bytes = 0;
    for (int i = 0; i < 60; ++i) {
        auto start = Clock::now();
        bytes = client.Request("GET", "api/category/fetch").body.size();
        times.push_back(Seconds(Clock::now() - start) * 1000);
    }
    times.erase(times.begin(), times.begin() + 10); // warm-up
    std::sort(times.begin(), times.end());
    std::printf("api/category/fetch, 1000 categories (%zu bytes): median %.2f ms, best %.2f ms, "
                "worst %.2f ms over %zu requests\n",
                bytes, times[times.size() / 2], times.front(), times.back(), times.size());
}

} // namespace

int main()
{
    KeysPerSecond();
    CategoryFetch();
    return 0;
}
