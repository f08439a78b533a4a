#include "canonize/scoring_pass.hpp"

#include <memory>
#include <unordered_map>
#include <utility>

#include "dag/dag_rewrite.hpp"
#include "tree/tree_string.hpp"

namespace quorl {

Result<std::vector<ScoringEntry>> collect_candidate_scores(const GraphWrap& graph,
                                                           const std::vector<std::string>& candidates,
                                                           const IdSet& excluded_ids, bool compact,
                                                           bool allow_hashes, const StopCheck& stop) {
    const Exclusion nothing_excluded;
    // An empty set excludes nothing; saying so spares the writer a lookup per node.
    const Exclusion excluded = excluded_ids.empty() ? Exclusion() : Exclusion::of_ids(excluded_ids);
    // Symmetric graphs give many candidates the same text: keep it once. The
    // keys view the shared texts, which never change.
    std::unordered_map<std::string_view, std::shared_ptr<const std::string>> distinct_texts;
    std::vector<ScoringEntry> entries;
    entries.reserve(candidates.size());
    for (const std::string& candidate : candidates) {
        if (stop.stop_requested()) return interrupted_error();
        auto dag = to_dag_with_mode(graph, candidate, nothing_excluded, compact, allow_hashes, stop);
        if (!dag) return std::unexpected(std::move(dag.error()));
        auto written = to_tree_string_with_groups(*dag, candidate, excluded);
        if (!written) return parse_error(std::move(written.error()));
        auto found = distinct_texts.find(written->text);
        if (found == distinct_texts.end()) {
            auto text = std::make_shared<const std::string>(std::move(written->text));
            const std::string_view key = *text;
            found = distinct_texts.emplace(key, std::move(text)).first;
        }
        entries.push_back(ScoringEntry{candidate, written->depth, found->second, std::move(written->groups)});
    }
    return entries;
}

}  // namespace quorl
