#pragma once
// The class-wide table of repositories: one per session identifier and
// location (host "_" namespace), made on demand, paused and restarted as a
// group, and disposed per session.

#include <map>
#include <memory>
#include <string>

#include "database/connection/QRVDatabaseConfig.h"
#include "database/model/FRepoInfo.h"

class FRepo;
class QRVDatabase;

class FRepoManager {
public:
    // The session's repository for the location, made on demand (never
    // raises "RepoExists"). Freezes the config.
    static std::shared_ptr<FRepo> getRepo(const std::shared_ptr<FRepoInfo>& repoInfo,
                                          const QRVDatabaseConfigPtr& config);
    // Makes and records a new repository; one already recorded for the
    // session and location raises "RepoExists".
    static std::shared_ptr<FRepo> createRepo(const std::shared_ptr<FRepoInfo>& repoInfo,
                                             const QRVDatabaseConfigPtr& config,
                                             const std::shared_ptr<QRVDatabase>& database);

    // Interrupt or resume the session's repositories (or every one),
    // asynchronously on the worker queue.
    static void interrupt(const QRVDatabaseConfigPtr& config);
    static void resume(const QRVDatabaseConfigPtr& config);
    static void interruptAll();
    static void resumeAll();
    // Disposes the session's repositories on the worker queue and forgets
    // them; waits for it, so never call it from the worker queue.
    static void disposeRepos(const QRVDatabaseConfigPtr& config);

    // The table: session identifier -> repository key -> repository.
    static std::map<std::string, std::map<std::string, std::shared_ptr<FRepo>>> configs();

    // "host_namespace".
    static std::string repoKey(const FRepoInfo& repoInfo);
};
