// What db keeps to itself and its tests: its limits, the schema steps one at a time, and the
// resets that let a test start as a new process would. Not part of the face: product code
// upgrades through UpgradeSchemaIfNeeded and never needs these.
#pragma once

#include "db.h"

#include <ctime>
#include <string>
#include <string_view>

namespace tavolex::db {

inline constexpr int kSchemaVersion = 87;
inline constexpr int kBusyTimeoutMs = 20000;

// Replaces every "[db]" with `schema`.
std::string ReplaceSchemaPlaceholder(std::string_view sql, std::string_view schema);

// Brings the data tables from `currentVersion` to kSchemaVersion in one transaction that also
// writes the version: a step that fails is not retried, but a stop part-way leaves the older
// version to upgrade again. Before anything is written the file is copied whole
// (the write-ahead log folded in) to "<file>.before-upgrade-<currentVersion>" beside it, so the
// owner can always go back; when that copy cannot be made the upgrade waits for a later call.
void UpgradeSchema(AccountDatabase& db, int currentVersion);
// The name of the copy UpgradeSchema makes of `databasePath` before upgrading from `version`.
std::string UpgradeBackupPath(std::string_view databasePath, int version);

// Stored time texts. Local calendar time of `when`.
std::string TimeText(time_t when);         // "HH:MM:SS"
std::string FileSafeTimeText(time_t when); // "HH-MM-SS"

// Forgets the in-memory key counter and server number so the next key reads the settings
// again, as a new process would. For tests.
void ResetKeyStateForTesting();
// Forgets which file was seen current, as a new process would. For tests that turn a file's
// version back.
void ForgetCurrentSchemaForTesting();

} // namespace tavolex::db
