#!/usr/bin/python3
# Records what Debian's rich and tqdm draw when colour is forced and standard output is a pipe,
# as the application starts the CLI. Run from this folder: ./record.py (needs python3-rich and
# python3-tqdm); each case goes to <name>.out. The recordings are committed: they are test data.
import os
import subprocess
import sys

CASES = {
    "rich-progress": """
from rich.progress import Progress
import time
with Progress(refresh_per_second=1000, auto_refresh=False) as progress:
    download = progress.add_task("[cyan]Downloading...", total=10)
    install = progress.add_task("[green]Installing...", total=10)
    for step in range(10):
        progress.update(download, advance=1)
        progress.update(install, advance=0.5)
        progress.refresh()
""",
    "rich-status": """
from rich.console import Console
console = Console()
with console.status("[bold green]Working on tasks...") as status:
    for n in range(3):
        status.update(f"[bold green]Task {n} of 3")
        console.log(f"task {n} complete")
console.print("[bold]done[/bold] ✅ 漢字")
""",
    "rich-live": """
from rich.live import Live
from rich.table import Table
def table(rows):
    t = Table("id", "name", "state")
    for i in range(rows):
        t.add_row(str(i), f"item {i}", "[red]failed" if i % 2 else "[green]ok")
    return t
with Live(table(0), auto_refresh=False) as live:
    for rows in range(1, 6):
        live.update(table(rows), refresh=True)
""",
    "tqdm-nested": """
from tqdm import tqdm
import sys
for i in tqdm(range(3), desc="outer", file=sys.stdout, ncols=70, mininterval=0, ascii=False):
    for j in tqdm(range(4), desc="inner", file=sys.stdout, ncols=70, mininterval=0, leave=False):
        pass
print("finished")
""",
}

env = dict(os.environ, TERM="xterm-256color", COLORTERM="truecolor", FORCE_COLOR="1")
for name in ("COLUMNS", "LINES", "NO_COLOR"):
    env.pop(name, None)
for name, code in CASES.items():
    if len(sys.argv) > 1 and name not in sys.argv[1:]:
        continue
    out = subprocess.run(["/usr/bin/python3", "-c", code], env=env, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, check=True).stdout
    with open(name + ".out", "wb") as f:
        f.write(out)
    print(name, len(out))
