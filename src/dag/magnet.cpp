#include "dag/magnet.hpp"

#include "dag/digest.hpp"
#include "dag/trace.hpp"
#include "graph/exclusion.hpp"
#include "tree/tree_string.hpp"

namespace quorl {

Result<std::string> get_magnet(GraphWrap& graph, NodeIndex node, RewriteContext& context) {
    const bool allow_hashes = context.allow_hashes;
    {
        const NodeMeta& meta = graph.node_at(node).meta;
        if (meta.magnet && meta.magnet_flag == allow_hashes) return *meta.magnet;
        if (!meta.floor) return parse_error("magnet requires floored graph");
    }
    const NodeData& data = graph.node_at(node);
    Failable<TreeText> tree =
        to_tree_string_with_depth_order(graph, data.id, Exclusion::floor_at_most(*data.meta.floor, node),
                                        /*modality_order=*/false, &context.tree_scratch, &context.stop);
    if (!tree) return polled_failure(context.stop, std::move(tree.error()));

    // The tree's text is ours: wrapped where it lies, it is the plain magnet.
    std::string magnet = std::move(tree->text);
    magnet.reserve(magnet.size() + 2);
    magnet.insert(magnet.begin(), '_');
    magnet.push_back('_');
    std::optional<Digest> digest;
    if (allow_hashes) {
        digest = md5_digest(magnet, &context.stop);
        if (!digest) return std::unexpected(context.stop.stop_error());
        magnet.assign(2 + 2 * digest->size(), '_');
        write_lower_hex(*digest, magnet.data() + 1);
    }
    if (context.trace.magnets) {
        emit(context.trace, "magnet", {{"node", {data.id}}, {"magnet", {magnet}}});
    }

    // Cached on the node for the rest of the rewrite.
    if (Result<void> held = take_or_fail(context.held, heap_bytes(magnet), "a magnet of this graph"); !held) {
        return std::unexpected(std::move(held.error()));
    }
    NodeMeta& meta = graph.node_at(node).meta;
    meta.magnet = magnet;
    meta.magnet_digest = digest;
    meta.magnet_digest_alt.reset();
    meta.magnet_flag = allow_hashes;
    return magnet;
}

Result<std::string> get_magnet(GraphWrap& graph, NodeIndex node, bool allow_hashes) {
    RewriteContext context(allow_hashes, StopCheck{}, TraceSwitches::from_environment());
    return get_magnet(graph, node, context);
}

}  // namespace quorl
