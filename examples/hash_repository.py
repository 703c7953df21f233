"""Fingerprint every text file of a repository with vantrel_native and report duplicates.

Usage: python examples/hash_repository.py [REPOSITORY]   (default: the current directory)

Files are those git tracks when the folder is a git work tree, otherwise every file below it.
Each file's text is hashed natively and checked against hashlib; files with equal content
share a fingerprint and are listed together.
"""
import collections
import hashlib
import os
import subprocess
import sys
import time

import vantrel_native


def repository_files(root):
    try:
        out = subprocess.run(["git", "-C", root, "ls-files", "-z"], check=True,
                             capture_output=True).stdout
        return [os.path.join(root, name) for name in out.decode().split("\0") if name]
    except (OSError, subprocess.CalledProcessError):
        files = []
        for folder, dirs, names in os.walk(root):
            dirs[:] = [d for d in dirs if not d.startswith(".")]  # skip .git, .venv, ...
            files.extend(os.path.join(folder, name) for name in names)
        return files


def read_text(path):
    try:
        with open(path, "rb") as handle:
            data = handle.read()
    except OSError:
        return None
    if b"\0" in data:
        return None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return None


def main(argv):
    root = os.path.abspath(argv[1] if len(argv) > 1 else ".")
    texts = {}
    for path in repository_files(root):
        if os.path.isfile(path) and not os.path.islink(path):
            text = read_text(path)
            if text is not None:
                texts[os.path.relpath(path, root)] = text

    start = time.perf_counter()
    fingerprints = {name: vantrel_native.compute_file_hash(text) for name, text in texts.items()}
    native_seconds = time.perf_counter() - start
    start = time.perf_counter()
    expected = {name: hashlib.sha256(text.encode()).hexdigest()[:16] for name, text in texts.items()}
    hashlib_seconds = time.perf_counter() - start
    mismatches = [name for name in texts if fingerprints[name] != expected[name]]

    for name in sorted(fingerprints):
        print(f"{fingerprints[name]}  {name}")
    groups = collections.defaultdict(list)
    for name, fingerprint in fingerprints.items():
        groups[fingerprint].append(name)
    duplicates = [sorted(names) for names in groups.values() if len(names) > 1]

    total = sum(len(t.encode()) for t in texts.values())
    print()
    print(f"{len(texts)} text files, {total} bytes, {len(groups)} distinct contents "
          f"({sys.implementation.name} {sys.version.split()[0]})")
    for names in sorted(duplicates):
        print("same content: " + ", ".join(names))
    print(f"native hashing {native_seconds * 1e3:.2f} ms, hashlib {hashlib_seconds * 1e3:.2f} ms "
          f"(one cold pass each; bench/ measures properly)")
    if mismatches:
        print("MISMATCH with hashlib: " + ", ".join(mismatches))
        return 1
    print("all fingerprints match hashlib")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
