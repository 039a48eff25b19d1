"""Writes seed inputs for the fuzzers: small real files made with the gguf
and onnx packages, which the fuzzers then mutate.

Usage: make_seeds.py GGUF_DIR ONNX_DIR
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np


def gguf_seeds(out: Path) -> None:
    import gguf

    def write(name: str, fill) -> None:
        path = out / name
        w = gguf.GGUFWriter(str(path), "llama")
        fill(w)
        w.write_header_to_file()
        w.write_kv_data_to_file()
        w.close()

    def llama(w) -> None:
        w.add_block_count(2)
        w.add_embedding_length(64)
        w.add_head_count(4)
        w.add_head_count_kv(2)
        w.add_context_length(128)
        w.add_feed_forward_length(256)
        w.add_tokenizer_model("gpt2")
        w.add_token_list([f"t{i}" for i in range(40)])
        w.add_token_merges([f"t{i} t{i + 1}" for i in range(20)])
        w.add_array("x.nested", [[1, 2], [3]])
        w.add_float32("x.scale", 0.5)
        w.add_uint64("general.parameter_count", 12345)

    def bare(w) -> None:
        w.add_string("general.name", "bare")

    write("llama.gguf", llama)
    write("bare.gguf", bare)


def onnx_seeds(out: Path) -> None:
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    w1 = numpy_helper.from_array(np.ones((4, 3), dtype=np.float32), "w1")
    w2 = numpy_helper.from_array(np.arange(3, dtype=np.int64), "w2")
    scalar = helper.make_tensor("s", TensorProto.FLOAT, [], [1.0])
    raw = helper.make_tensor("r", TensorProto.FLOAT, [2, 2], np.ones(4, np.float32).tobytes(), raw=True)
    then_graph = helper.make_graph(
        [helper.make_node("Identity", ["a"], ["b"])], "then",
        [helper.make_tensor_value_info("a", TensorProto.FLOAT, [1])],
        [helper.make_tensor_value_info("b", TensorProto.FLOAT, [1])],
    )
    nodes = [
        helper.make_node("MatMul", ["x", "w1"], ["y"], name="mm"),
        helper.make_node("Add", ["y", "s"], ["z"], alpha=1.5, ints=[1, -2, 3]),
        helper.make_node("If", ["c"], ["z2"], then_branch=then_graph, else_branch=then_graph),
    ]
    graph = helper.make_graph(
        nodes, "g",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, ["batch", 4])],
        [helper.make_tensor_value_info("z", TensorProto.FLOAT, ["batch", 3])],
        initializer=[w1, w2, scalar, raw],
    )
    model = helper.make_model(graph, producer_name="seed", opset_imports=[helper.make_opsetid("", 17)])
    model.metadata_props.add(key="k", value="v")
    (out / "model.onnx").write_bytes(model.SerializeToString())
    (out / "empty.onnx").write_bytes(b"")
    (out / "no_graph.onnx").write_bytes(helper.make_model(helper.make_graph([], "e", [], [])).SerializeToString()[:4])


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    g, o = Path(argv[1]), Path(argv[2])
    g.mkdir(parents=True, exist_ok=True)
    o.mkdir(parents=True, exist_ok=True)
    gguf_seeds(g)
    onnx_seeds(o)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
