"""Applies each deliberate fault in turn, rebuilds the normal tree, runs every test but the
fuzz targets, and records which tests fail. Usage: run.py TREE OUT.json [ID ...]
MUTATION_TESTS=REGEX limits the run to the CTest tests matching REGEX."""
import json, os, re, subprocess, sys
sys.path.insert(0, os.path.dirname(__file__))
from mutations import M
tree, out = sys.argv[1], sys.argv[2]
only = set(sys.argv[3:])
selected = ["-R", os.environ["MUTATION_TESTS"]] if os.environ.get("MUTATION_TESTS") else []
results = json.load(open(out)) if os.path.exists(out) else {}
for mid, folder, rule, path, edits in M:
    if (only and mid not in only) or mid in results:
        continue
    file = os.path.join(tree, path)
    original = open(file).read()
    text = original
    for old, new in edits:
        assert old in text, (mid, old)
        text = text.replace(old, new)
    open(file, "w").write(text)
    try:
        b = subprocess.run(["cmake", "--build", "build", "-j2"], cwd=tree, capture_output=True, text=True)
        if b.returncode:
            results[mid] = {"rule": rule, "folder": folder, "caught_by": ["(build fails)"]}
        else:
            t = subprocess.run(["flock", "/tmp/kipd-ports.lock", "ctest", "-j2", "-E", "^fuzz", "--timeout", "300"] + selected, cwd=os.path.join(tree, "build"),
                               capture_output=True, text=True)
            failed = re.findall(r"^\s*\d+ - (\S+) \(", t.stdout, re.M)
            results[mid] = {"rule": rule, "folder": folder, "caught_by": failed}
    finally:
        open(file, "w").write(original)
    json.dump(results, open(out, "w"), indent=1)
    print(mid, results[mid]["caught_by"], flush=True)
