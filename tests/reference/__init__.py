"""Plain-Python versions of the module's functions, written as the platform would
write them: the test suite compares the native module with them, and the benchmarks
measure against them."""

from .models import (build_decision_tree, build_flow_graph, find_end_nodes, find_start_node,
                     get_execution_order_with_config_ids, get_node_by_id, regular, replace_str)
from .platform import ass, edit_form_data, get, s_e, v

__all__ = ["ass", "build_decision_tree", "build_flow_graph", "edit_form_data", "find_end_nodes",
           "find_start_node", "get", "get_execution_order_with_config_ids", "get_node_by_id",
           "regular", "replace_str", "s_e", "v"]
