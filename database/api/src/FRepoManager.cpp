#include "database/api/FRepoManager.h"

#include <mutex>
#include <vector>

#include "core/QRVLogger.h"
#include "database/api/FRepo.h"
#include "database/api/QRVDatabase.h"
#include "database/connection/FWorkerQueue.h"
#include "database/model/FUtilities.h"
#include "platform/error.h"
#include "platform/format.h"

namespace {

using RepoTable = std::map<std::string, std::map<std::string, std::shared_ptr<FRepo>>>;

// getRepo may reach createRepo through the database it makes while holding
// the lock, hence a re-entrant one.
struct Repos {
    std::recursive_mutex mutex;
    RepoTable configs;
    // The databases made here for references made from URLs: a repository
    // holds its database weakly, so this table keeps them for as long as
    // their repository is in the table.
    std::map<std::string, std::map<std::string, std::shared_ptr<QRVDatabase>>> urlDatabases;
};

Repos& repos() {
    static auto* table = new Repos;
    return *table;
}

// The repositories of one session, or of every session, copied out of the
// table.
std::vector<std::shared_ptr<FRepo>> reposOf(const std::string* sessionIdentifier) {
    Repos& table = repos();
    std::lock_guard lock(table.mutex);
    std::vector<std::shared_ptr<FRepo>> out;
    for (const auto& [session, byKey] : table.configs) {
        if (sessionIdentifier && session != *sessionIdentifier) continue;
        for (const auto& [key, repo] : byKey) out.push_back(repo);
    }
    return out;
}

template <class Action>
void onSessionRepos(const QRVDatabaseConfigPtr& config, Action action) {
    FWorkerQueue::sharedQueue()->async([session = config ? std::optional<std::string>(config->sessionIdentifier())
                                                         : std::nullopt,
                                        action] {
        for (const auto& repo : reposOf(session ? &*session : nullptr)) action(*repo);
    });
}

}  // namespace

std::string FRepoManager::repoKey(const FRepoInfo& repoInfo) {
    return ns::format("%@_%@", repoInfo.host(), repoInfo.getNamespace());
}

RepoTable FRepoManager::configs() {
    Repos& table = repos();
    std::lock_guard lock(table.mutex);
    return table.configs;
}

std::shared_ptr<FRepo> FRepoManager::getRepo(const std::shared_ptr<FRepoInfo>& repoInfo,
                                             const QRVDatabaseConfigPtr& config) {
    config->freeze();
    const std::string key = repoKey(*repoInfo);
    Repos& table = repos();
    std::lock_guard lock(table.mutex);
    auto session = table.configs.find(config->sessionIdentifier());
    if (session == table.configs.end() || !session->second.count(key)) {
        table.urlDatabases[config->sessionIdentifier()][key] = QRVDatabase::createDatabaseForTests(repoInfo, config);
    }
    return table.configs[config->sessionIdentifier()][key];
}

std::shared_ptr<FRepo> FRepoManager::createRepo(const std::shared_ptr<FRepoInfo>& repoInfo,
                                                const QRVDatabaseConfigPtr& config,
                                                const std::shared_ptr<QRVDatabase>& database) {
    config->freeze();
    const std::string key = repoKey(*repoInfo);
    Repos& table = repos();
    std::lock_guard lock(table.mutex);
    auto& byKey = table.configs[config->sessionIdentifier()];
    if (byKey.count(key)) throw ns::Exception("RepoExists", "createRepo called for Repo that already exists.");
    std::shared_ptr<FRepo> repo = FRepo::make(repoInfo, config, database);
    byKey.emplace(key, repo);
    return repo;
}

void FRepoManager::interrupt(const QRVDatabaseConfigPtr& config) {
    onSessionRepos(config, [](FRepo& repo) { repo.interrupt(); });
}

void FRepoManager::resume(const QRVDatabaseConfigPtr& config) {
    onSessionRepos(config, [](FRepo& repo) { repo.resume(); });
}

void FRepoManager::interruptAll() {
    onSessionRepos(nullptr, [](FRepo& repo) { repo.interrupt(); });
}

void FRepoManager::resumeAll() {
    onSessionRepos(nullptr, [](FRepo& repo) { repo.resume(); });
}

void FRepoManager::disposeRepos(const QRVDatabaseConfigPtr& config) {
    const std::string session = config->sessionIdentifier();
    FWorkerQueue::sharedQueue()->sync([&] {
        if (FFIsLoggingEnabled(FLogLevelDebug)) {
            QRVLogDebug(kQRVLoggerDatabase, "I-RDB040001", "Disposing all repos for Config with name %@", session);
        }
        for (const auto& repo : reposOf(&session)) repo->dispose();
        Repos& table = repos();
        std::lock_guard lock(table.mutex);
        table.configs.erase(session);
        table.urlDatabases.erase(session);
    });
}
