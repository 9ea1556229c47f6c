#include "preemptions.h"

#include "host/kernel/sched.h"

#include <algorithm>
#include <charconv>
#include <map>

namespace preemptions {
namespace {

// The distinct choices at a decision, the default first: idle system threads
// of one queue are one choice (the first of them stands for all).
struct Options {
    std::vector<uint32_t> threads;
    bool current_can_run = false;
};

Options options_at(const std::vector<host::Candidate>& candidates, uint32_t current)
{
    Options o;
    std::vector<const void*> idle_queues;
    for (const host::Candidate& c : candidates) {
        if (c.idle_queue) {
            if (std::find(idle_queues.begin(), idle_queues.end(), c.idle_queue) != idle_queues.end())
                continue;
            idle_queues.push_back(c.idle_queue);
        }
        o.threads.push_back(c.id);
        o.current_can_run |= c.id == current;
    }
    // Round robin after the current thread when it cannot go on.
    auto first = std::find(o.threads.begin(), o.threads.end(), current);
    if (first == o.threads.end())
        first = std::find_if(o.threads.begin(), o.threads.end(), [current](uint32_t id) { return id > current; });
    if (first != o.threads.end())
        std::rotate(o.threads.begin(), first, first + 1);
    return o;
}

size_t index_of(const std::vector<host::Candidate>& candidates, uint32_t thread)
{
    for (size_t i = 0; i < candidates.size(); ++i)
        if (candidates[i].id == thread)
            return i;
    return host::Chooser::kGenerator;
}

// Sets itself as the scheduler's chooser for its lifetime.
class ChooserScope : public host::Chooser {
public:
    ChooserScope() { host::set_chooser(this); }
    ~ChooserScope() { host::set_chooser(nullptr); }
    ChooserScope(const ChooserScope&) = delete;
    ChooserScope& operator=(const ChooserScope&) = delete;

    // A new run: schedulers started before it are left to the generator.
    void begin_run()
    {
        static uint64_t runs = 0;   // process-wide, so that no token is reused
        run_ = ++runs;
        decisions_ = 0;
        preemptions_ = 0;
        departures_ = 0;
    }
    uint64_t attach() override { return run_; }
    int preemptions() const { return preemptions_; }

protected:
    uint64_t run_ = 0;
    uint64_t decisions_ = 0;
    int preemptions_ = 0;
    int departures_ = 0;

    size_t take(const std::vector<host::Candidate>& candidates, const Options& o, uint32_t thread)
    {
        ++decisions_;
        if (thread != o.threads.front()) {
            ++departures_;
            preemptions_ += o.current_can_run;
        }
        return index_of(candidates, thread);
    }
};

// Depth-first enumeration: the path of the last run's decisions, each with
// the choice taken; the next run replays the path up to its deepest
// decision with an untried choice within the bound, and takes that.
class Explorer final : public ChooserScope {
public:
    Explorer(int bound, Cost cost) : bound_(bound), cost_(cost) {}

    size_t choose(uint64_t token, const std::vector<host::Candidate>& candidates, uint32_t current) override
    {
        if (token != run_)
            return kGenerator;
        Options o = options_at(candidates, current);
        if (decisions_ < path_.size()) {
            Node& node = path_[decisions_];
            if (node.options.threads != o.threads && divergence_.empty())
                divergence_ = "decision " + std::to_string(decisions_) + " offered other threads on replay";
            return take(candidates, o, node.options.threads[node.taken]);
        }
        path_.push_back({o, 0, spent()});
        return take(candidates, o, o.threads.front());
    }

    // Sets up the next schedule; false when none is left.
    bool advance()
    {
        path_.resize(std::min<size_t>(path_.size(), decisions_));
        while (!path_.empty()) {
            Node& node = path_.back();
            // Past the default every choice costs one, or none alike.
            const int cost = cost_ == Cost::every_departure || node.options.current_can_run ? 1 : 0;
            if (node.taken + 1 < node.options.threads.size() && node.spent_before + cost <= bound_) {
                node.taken++;
                return true;
            }
            path_.pop_back();
        }
        return false;
    }

    Schedule schedule() const
    {
        Schedule s;
        for (size_t i = 0; i < std::min<size_t>(path_.size(), decisions_); ++i)
            if (path_[i].taken != 0)
                s.push_back({i, path_[i].options.threads[path_[i].taken]});
        return s;
    }

    uint64_t decisions() const { return decisions_; }
    const std::string& divergence() const { return divergence_; }

private:
    struct Node {
        Options options;
        size_t taken;
        int spent_before;
    };

    int spent() const { return cost_ == Cost::every_departure ? departures_ : preemptions_; }

    int bound_;
    Cost cost_;
    std::vector<Node> path_;
    std::string divergence_;
};

// Follows one schedule's departures and the default policy elsewhere.
class Replayer final : public ChooserScope {
public:
    explicit Replayer(const Schedule& schedule)
    {
        for (const Departure& d : schedule)
            departures_[d.decision] = d.thread;
    }

    size_t choose(uint64_t token, const std::vector<host::Candidate>& candidates, uint32_t current) override
    {
        if (token != run_)
            return kGenerator;
        Options o = options_at(candidates, current);
        auto departure = departures_.find(decisions_);
        uint32_t thread = o.threads.front();
        if (departure != departures_.end()) {
            if (std::find(o.threads.begin(), o.threads.end(), departure->second) != o.threads.end())
                thread = departure->second;
            else if (divergence.empty())
                divergence = "thread " + std::to_string(departure->second) + " cannot run at decision " +
                             std::to_string(decisions_);
        }
        return take(candidates, o, thread);
    }

    std::string divergence;

private:
    std::map<uint64_t, uint32_t> departures_;
};

std::optional<uint64_t> parse_number(std::string_view text)
{
    uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

}  // namespace

std::string format(const Schedule& schedule)
{
    if (schedule.empty())
        return "default";
    std::string text;
    for (const Departure& d : schedule)
        text += (text.empty() ? "" : ",") + std::to_string(d.decision) + ":" + std::to_string(d.thread);
    return text;
}

std::optional<Schedule> parse(std::string_view text)
{
    if (text == "default")
        return Schedule{};
    Schedule schedule;
    for (;;) {
        const size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        const size_t colon = item.find(':');
        if (colon == std::string_view::npos)
            return std::nullopt;
        const auto decision = parse_number(item.substr(0, colon));
        const auto thread = parse_number(item.substr(colon + 1));
        if (!decision || !thread || *thread == 0 || *thread > UINT32_MAX ||
            (!schedule.empty() && *decision <= schedule.back().decision))
            return std::nullopt;
        schedule.push_back({*decision, uint32_t(*thread)});
        if (comma == std::string_view::npos)
            return schedule;
        text.remove_prefix(comma + 1);
    }
}

Result explore(int bound, uint64_t cap, const std::function<bool()>& run_once, Cost cost)
{
    Result result;
    Explorer explorer(bound, cost);
    for (;;) {
        explorer.begin_run();
        const bool passed = run_once();
        result.schedules++;
        result.most_decisions = std::max(result.most_decisions, explorer.decisions());
        if (!explorer.divergence().empty()) {
            result.divergence = explorer.divergence();
            return result;
        }
        if (!passed) {
            result.failing = explorer.schedule();
            result.failing_preemptions = explorer.preemptions();
            return result;
        }
        if (!explorer.advance())
            return result;
        if (result.schedules >= cap) {
            result.capped = true;
            return result;
        }
    }
}

Result replay(const Schedule& schedule, const std::function<bool()>& run_once)
{
    Result result;
    Replayer replayer(schedule);
    replayer.begin_run();
    const bool passed = run_once();
    result.schedules = 1;
    result.divergence = replayer.divergence;
    if (!passed) {
        result.failing = schedule;
        result.failing_preemptions = replayer.preemptions();
    }
    return result;
}

}  // namespace preemptions
