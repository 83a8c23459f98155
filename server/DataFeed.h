#pragma once
// The server's synthetic source of change. Each run of the thread is one numbered feed: the
// first fills the store with 80000 objects, then every run changes random properties of
// random objects in bursts of 1000, starting a burst 100 ms after the previous one ended.
// At the end of a run the store writes the feed's completion record and a summary is logged.
// Every change goes through the store; the feed never touches packets.

#include "Subsidiary/ThreadBase.h"

#include <cstdint>

class CObjectsRepository;

class CDataFeed : public CThreadBase {
public:
    /// The repository must outlive the feed. Any thread.
    explicit CDataFeed(CObjectsRepository& repository);
    /// Stops a feed that is still running. The controlling thread.
    ~CDataFeed() override;

    /// Nothing to prepare; true. The controlling thread.
    virtual bool Init();
    /// Nothing to release. The controlling thread.
    virtual void Deinit();

protected:
    int32_t DoRun() override;

    // The two halves of a feed's work, each callable on its own by tests and benchmarks.

    /// Creates the initial objects obj_0, obj_1, ... one lock at a time; the first failure
    /// ends it. The feed's thread, or any thread while the feed is not running.
    void FeedInitialData();
    /// One burst of change steps with the objects lock held throughout; a failing step is
    /// logged and the next one follows. The feed's thread, or any thread while the feed is
    /// not running.
    void FeedSomeData();

private:
    /// Waits for bursts until the stop event fires.
    void RunBursts(HANDLE timer);
    /// Sets a random property of a random object to a random name.
    void ChangeRandomObject();
    /// Writes the completion record and logs the summary.
    void CompleteFeed();

    CObjectsRepository& m_Repository;
    // Used by the feed's thread only; a new run starts after the previous one was joined.
    uint64_t m_nFeedNo = 0;
    uint64_t m_nObjCounter = 0;
    uint64_t m_nCountC = 0;
    uint64_t m_nCountD = 0;
    uint64_t m_nCountP = 0;
    uint64_t m_nCountR = 0;
};
