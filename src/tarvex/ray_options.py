"""The options of ``tarvex index --ray``: their parser, and the job they ask for."""

from __future__ import annotations

import argparse
import os
from typing import TYPE_CHECKING

from tarvex._shell import RAY_ADDRESS_VARIABLE, UsageError, positive_integer, setting

if TYPE_CHECKING:
    from tarvex.ray_job import RayFill

RAY_EXAMPLE = f"""
on a Ray cluster (pip install 'tarvex[ray]'):
  tarvex index corpus/ --ray                       # a local Ray with this machine's cores
  tarvex index corpus/ --ray ray://head:10001 --store postgresql://tarvex@db/tarvex
  {RAY_ADDRESS_VARIABLE}=head:6379 tarvex index corpus/ --ray
"""


def add_ray_options(parser: argparse.ArgumentParser) -> None:
    ray = parser.add_argument_group("on a Ray cluster")
    ray.add_argument("--ray", nargs="?", const="", metavar="ADDRESS",
                     help="embed the texts that have no vector as a Ray Data job: on the cluster at ADDRESS "
                          f"(default: ${RAY_ADDRESS_VARIABLE}), else on a local Ray with this machine's cores")
    ray.add_argument("--ray-actors", type=positive_integer, metavar="N",
                     help="how many workers embed, each with one core (default: one per core of the cluster)")
    ray.add_argument("--ray-model", choices=("ship", "installed"),
                     help="ship the model's files to the workers through the object store, or use the model "
                          "installed on each worker (default: the driver's files on a Ray of this machine alone, "
                          "shipped to any other)")
    parser.epilog = (parser.epilog or "") + RAY_EXAMPLE


def ray_fill(args: argparse.Namespace) -> RayFill | None:
    """The Ray job the options ask for (None without ``--ray``); chooses the onnx backend for it."""
    if args.ray is None:
        if args.ray_actors is not None or args.ray_model is not None:
            raise UsageError("--ray-actors and --ray-model go with --ray")
        return None
    address = args.ray or setting(RAY_ADDRESS_VARIABLE)
    if address is not None and ":" not in address and address != "auto" and os.path.isdir(address):
        raise UsageError(f"--ray takes a cluster's address, and {address!r} is a folder: "
                         "give the corpus folder before --ray (tarvex index DIR --ray)")
    if args.backend == "torch":
        raise UsageError("a Ray job embeds with the onnx backend: leave out --backend torch")
    args.backend = "onnx"
    from tarvex.ray_job import RayFill

    return RayFill(address, actors=args.ray_actors, model=args.ray_model)
