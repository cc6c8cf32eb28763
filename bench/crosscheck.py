#!/usr/bin/env python3
"""Compares the duplicates krelby reports for a tree with the sets another finder reports.

Usage: crosscheck.py DIR KRELBY_OUTPUT TOOL:FLAGS:OUTPUT [TOOL:FLAGS:OUTPUT ...]

KRELBY_OUTPUT is what `krelby -cnl DB DIR` printed (not quiet). Each OUTPUT is a finder's listing
in the fdupes layout: one path per line, sets separated by a blank line. FLAGS are letters telling
how that finder was run: s = follows symbolic links, H = hard links count as duplicates.

Both sides become groups of equal files: krelby's pairs ('NEW' IS a DUPE with 'KNOWN') are edges,
and the groups are their connected parts; a finder's sets are groups as they stand. Which member a
tool keeps does not matter here: only which files a tool puts together.

Files are compared as units, the way krelby counts them: a file with one link is one unit whatever
the path that reaches it (a symbolic link to it reaches the very same file, which is no copy of
itself), a file with two or more links is one unit per path (hard links are copies). Paths a
finder reports that krelby never considers are set aside first, each with its reason:
  empty         empty files never match here;
  linked-dir    symbolic links to directories are never entered here, so a path through one is
                not walked (when it reaches a file with one link that the walk meets under another
                path, it stands for that unit instead).
Every path listed by one side only, and every unit the two sides group differently, is a
difference. A difference is explained when a rule above accounts for it:
  empty, linked-dir  as above;
  same-file     the other side lists the same file (same device and inode, one link) under
                another path, or the set held nothing but paths to one file;
  hard-link     a finder that does not count hard links lists one link of the file only;
  symlink       a finder that does not follow symbolic links misses one that krelby follows;
  each-path     every path is judged on its own, so a file reached under two paths (a link and its
                target) that are both met after another copy is reported under both paths.
Anything else is unexplained: a duplicate one side misses, or a group the sides cut differently.
For those the contents are compared byte for byte, to tell which side is right. So is krelby
breaking its own rules (an empty file, a path through a linked directory, or one file reported as
a copy of itself).

Prints every difference, then a count per tool, and ends with "explained: N, unexplained: M".
Exit status 1 when M > 0, 0 otherwise, 2 on bad input.
"""

import collections
import filecmp
import os
import stat
import sys

DUPE_SEP = "' IS a DUPE with '"


def fail(msg):
    print(f"error: {msg}", file=sys.stderr)
    sys.exit(2)


class Tree:
    """What krelby's walk sees of DIR: every path it considers and the unit each one is."""

    def __init__(self, root):
        self.root = root.rstrip("/") or "/"
        self.unit_of = {}   # visible path -> unit
        self.units_by_inode = collections.defaultdict(set)  # (dev, ino) -> units of visible paths
        for dirpath, dirnames, filenames in os.walk(self.root, followlinks=False):
            # Links to directories land in dirnames and are not followed; links to files land here.
            for name in filenames:
                path = os.path.join(dirpath, name)
                st = self.stat(path)
                if st is None or not stat.S_ISREG(st.st_mode):
                    continue
                unit = self.unit_for(path, st)
                self.unit_of[path] = unit
                self.units_by_inode[(st.st_dev, st.st_ino)].add(unit)

    @staticmethod
    def stat(path):
        try:
            return os.stat(path)
        except OSError:
            return None

    @staticmethod
    def unit_for(path, st):
        if st.st_nlink == 1:
            return ("inode", st.st_dev, st.st_ino)
        return ("path", path)

    def visible(self, path):
        """True when the walk reaches path without passing a symbolic link to a directory."""
        if path != self.root and not path.startswith(self.root + "/"):
            return False
        parts = path[len(self.root) + 1:].split("/")
        cur = self.root
        for part in parts[:-1]:
            cur = os.path.join(cur, part)
            if os.path.islink(cur):
                return False
        return True


def unit_name(unit, tree, paths):
    """A readable name of a unit: the path(s) the listing shows for it."""
    if unit[0] == "path":
        return unit[1]
    shown = sorted(paths.get(unit, ()))
    return shown[0] if len(shown) == 1 else "{" + ", ".join(shown) + "}"


def read_krelby(path, tree):
    edges = []
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        for line in f:
            line = line.rstrip("\n")
            if DUPE_SEP not in line or not line.startswith("'"):
                continue
            if line.endswith("' IS a DUPE with '") or not line.endswith("'"):
                # "- DELETED" and the like follow only with d, which this never uses.
                fail(f"unexpected krelby line: {line}")
            body = line[1:-1]
            # A path may hold the separator itself: take the split whose two sides exist.
            cuts = [i for i in range(len(body)) if body.startswith(DUPE_SEP, i)]
            for i in cuts:
                new, known = body[:i], body[i + len(DUPE_SEP):]
                if os.path.lexists(new) and os.path.lexists(known):
                    break
            else:
                new, known = body[:cuts[0]], body[cuts[0] + len(DUPE_SEP):]
            edges.append((new, known))
    return edges


def read_sets(path):
    sets, cur = [], []
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        for line in f:
            line = line.rstrip("\n")
            if line:
                cur.append(line)
            elif cur:
                sets.append(cur)
                cur = []
    if cur:
        sets.append(cur)
    return sets


class UnionFind:
    def __init__(self):
        self.parent = {}

    def find(self, x):
        self.parent.setdefault(x, x)
        while self.parent[x] != x:
            self.parent[x] = self.parent[self.parent[x]]
            x = self.parent[x]
        return x

    def union(self, a, b):
        self.parent[self.find(a)] = self.find(b)

    def groups(self):
        out = collections.defaultdict(set)
        for x in self.parent:
            out[self.find(x)].add(x)
        return list(out.values())


def same_content(a, b):
    try:
        return filecmp.cmp(a, b, shallow=False)
    except OSError:
        return None


def content_note(path, others):
    """Compares path byte for byte with one of others: tells which side is right."""
    for other in sorted(others):
        if other != path:
            eq = same_content(path, other)
            if eq is None:
                return f"(could not compare with '{other}')"
            return f"(content {'EQUAL to' if eq else 'DIFFERENT from'} '{other}')"
    return ""


class Krelby:
    """krelby's groups, as units, and the paths it listed for each unit."""

    def __init__(self, edges, tree):
        self.errors = []  # unexplained: krelby breaking its own rules
        self.paths = collections.defaultdict(set)  # unit -> paths krelby listed
        partner = collections.defaultdict(set)  # path -> the paths it is paired with
        uf = UnionFind()
        for new, known in edges:
            partner[new].add(known)
            partner[known].add(new)
            units = []
            for p in (new, known):
                st = tree.stat(p)
                if st is None:
                    self.errors.append(f"krelby lists '{p}', which does not exist")
                    units.append(("missing", p))
                    continue
                if st.st_size == 0:
                    self.errors.append(f"krelby matches the empty file '{p}'")
                if not tree.visible(p):
                    self.errors.append(f"krelby lists '{p}', which lies behind a linked directory")
                units.append(tree.unit_for(p, st))
                self.paths[units[-1]].add(p)
            if units[0] == units[1]:
                self.errors.append(f"krelby reports '{new}' as a copy of '{known}', the very same file")
            uf.union(units[0], units[1])
        # Each path is judged on its own: a file reached under two paths (a link and its target),
        # both met after another copy, is reported under both, each against that other copy. Only
        # a pairing of the file with itself would break the rules, and that is caught above.
        self.notes = []  # explained: [each-path]
        for unit, ps in self.paths.items():
            if unit[0] == "inode" and len(ps) > 1:
                st = tree.stat(next(iter(ps)))
                self.notes.append(
                    f"[each-path] krelby reports one file (inode {st.st_ino}, one link) under {len(ps)} paths, "
                    "each against another copy: "
                    + "; ".join(f"'{p}' paired with " + ", ".join(f"'{q}'" for q in sorted(partner[p]))
                                for p in sorted(ps)))
        self.group_of = {}
        for g in uf.groups():
            fg = frozenset(g)
            for u in g:
                self.group_of[u] = fg
        self.listed = {p for ps in self.paths.values() for p in ps}


class Peer:
    """A finder's sets, turned into units the way krelby counts them."""

    def __init__(self, name, flags, sets, tree):
        self.name, self.follows, self.hardlinks = name, "s" in flags, "H" in flags
        self.listed = set()
        self.reason = {}  # path set aside -> (rule, detail)
        self.paths = collections.defaultdict(set)  # unit -> paths listed
        self.unit_of = {}  # listed path not set aside -> its unit
        self.inodes = {}  # every listed path -> (dev, ino)
        self.set_of = {}  # listed path -> index of its set
        self.raw_sets = sets
        self.group_of = {}
        self.collapsed = set()  # paths of sets that held one unit only
        self.via_link = set()  # paths through a linked directory standing in for a walked file
        for idx, members in enumerate(sets):
            units = {}
            for p in members:
                self.listed.add(p)
                self.set_of[p] = idx
                st = tree.stat(p)
                if st is None:
                    self.reason[p] = ("gone", "does not exist")
                    continue
                self.inodes[p] = (st.st_dev, st.st_ino)
                if st.st_size == 0:
                    self.reason[p] = ("empty", "empty file")
                    continue
                if tree.visible(p):
                    unit = tree.unit_of.get(p) or tree.unit_for(p, st)
                else:
                    stand_in = tree.unit_for(p, st)
                    if st.st_nlink == 1 and stand_in in tree.units_by_inode.get((st.st_dev, st.st_ino), ()):
                        unit = stand_in
                        self.via_link.add(p)
                    else:
                        self.reason[p] = ("linked-dir", "reached through a symbolic link to a directory")
                        continue
                units.setdefault(unit, set()).add(p)
                self.unit_of[p] = unit
            for unit, ps in units.items():
                self.paths[unit] |= ps
            if len(units) >= 2:
                g = frozenset(units)
                for u in units:
                    self.group_of[u] = g
            else:
                for ps in units.values():
                    self.collapsed |= ps


def compare(tree, kr, peer):
    explained, unexplained = [], []
    # Units each side lists but the other does not, once their paths are accounted for.
    explained_units = set()

    def k_unit(p):
        st = tree.stat(p)
        return tree.unit_for(p, st) if st else ("missing", p)

    # Paths the finder lists and krelby does not.
    for p in sorted(peer.listed - kr.listed):
        if p in peer.reason:
            rule, detail = peer.reason[p]
            if rule == "gone":
                unexplained.append(f"{peer.name} lists '{p}', which does not exist")
            else:
                explained.append(f"[{rule}] {peer.name} lists '{p}': {detail}")
            continue
        unit = peer.unit_of[p]
        if unit in kr.group_of:
            other = sorted(kr.paths[unit])
            rule = "linked-dir" if p in peer.via_link else "same-file"
            explained.append(f"[{rule}] {peer.name} lists '{p}', krelby the same file as '{other[0]}'")
            continue
        if p in peer.collapsed:
            rule = "linked-dir" if p in peer.via_link else "same-file"
            explained.append(f"[{rule}] {peer.name} lists '{p}' in a set of paths to one file only")
            continue
        unexplained.append(f"krelby misses '{p}', which {peer.name} finds equal to "
                           + ", ".join(f"'{q}'" for q in sorted(peer.raw_sets[peer.set_of[p]]) if q != p)
                           + " " + content_note(p, peer.raw_sets[peer.set_of[p]]))

    # Paths krelby lists and the finder does not.
    peer_by_inode = collections.defaultdict(set)
    for q, ino in peer.inodes.items():
        peer_by_inode[ino].add(q)
    for p in sorted(kr.listed - peer.listed):
        unit = k_unit(p)
        st = tree.stat(p)
        ino = (st.st_dev, st.st_ino) if st else None
        if unit in peer.group_of:
            other = sorted(peer.paths[unit])
            rule = "linked-dir" if all(q in peer.via_link for q in other) else "same-file"
            explained.append(f"[{rule}] krelby lists '{p}', {peer.name} the same file as '{other[0]}'")
            explained_units.add(unit)
            continue
        if ino in peer_by_inode and st.st_nlink >= 2 and not peer.hardlinks:
            explained.append(f"[hard-link] krelby lists '{p}', {peer.name} another link of it: "
                             f"'{sorted(peer_by_inode[ino])[0]}'")
            explained_units.add(unit)
            continue
        if os.path.islink(p) and not peer.follows:
            explained.append(f"[symlink] krelby follows the symbolic link '{p}', {peer.name} does not")
            explained_units.add(unit)
            continue
        if ino in peer_by_inode:
            # The finder lists this very file only under a path krelby does not take: one it set
            # aside (through a linked directory), or another path to a file with one link.
            qs = sorted(peer_by_inode[ino])
            aside = [q for q in qs if q in peer.reason]
            if aside or st.st_nlink == 1:
                q = (aside or qs)[0]
                rule = peer.reason[q][0] if aside else "same-file"
                explained.append(f"[{rule}] krelby lists '{p}', {peer.name} the same file as '{q}' only")
                explained_units.add(unit)
                continue
        group = kr.group_of.get(unit, frozenset())
        others = {q for u in group for q in kr.paths.get(u, ()) if u != unit}
        unexplained.append(f"{peer.name} misses '{p}', which krelby finds a copy of "
                           + ", ".join(f"'{q}'" for q in sorted(others)) + " " + content_note(p, others))

    # Units both list, grouped differently.
    for unit in sorted(set(kr.group_of) & set(peer.group_of), key=repr):
        k, e = kr.group_of[unit], peer.group_of[unit]
        diff = (k ^ e) - explained_units
        if not diff:
            continue
        # A unit the other side does not list at all is reported above already.
        diff = {u for u in diff if u in kr.group_of and u in peer.group_of}
        if not diff:
            continue
        unexplained.append(
            f"grouped differently: krelby puts {unit_name(unit, tree, kr.paths)} with "
            + ", ".join(sorted(unit_name(u, tree, kr.paths) for u in k - {unit}))
            + f"; {peer.name} with "
            + ", ".join(sorted(unit_name(u, tree, peer.paths) for u in e - {unit})))
    return explained, unexplained


def main(argv):
    if len(argv) < 4:
        fail(__doc__.split("\n\n")[1])
    root, krelby_out = os.path.abspath(argv[1]), argv[2]
    tree = Tree(root)
    kr = Krelby(read_krelby(krelby_out, tree), tree)
    k_groups = {g for g in kr.group_of.values()}
    print(f"krelby: {len(kr.listed)} paths listed, {len(k_groups)} groups, "
          f"{sum(len(g) - 1 for g in k_groups)} duplicates (group members beyond the one kept)")
    total_e, total_u = 0, 0
    for line in kr.errors:
        print(f"UNEXPLAINED: {line}")
    total_u += len(kr.errors)
    for line in kr.notes:
        print(f"explained {line}")
    total_e += len(kr.notes)
    for spec in argv[3:]:
        try:
            name, flags, out = spec.split(":", 2)
        except ValueError:
            fail(f"bad finder argument '{spec}' (want TOOL:FLAGS:OUTPUT)")
        sets = read_sets(out)
        peer = Peer(name, flags, sets, tree)
        p_groups = {g for g in peer.group_of.values()}
        print()
        print(f"{name}: {len(peer.listed)} paths in {len(sets)} sets "
              f"({sum(len(s) - 1 for s in sets)} duplicates as it counts them); "
              f"as units: {len(p_groups)} groups, {sum(len(g) - 1 for g in p_groups)} duplicates")
        explained, unexplained = compare(tree, kr, peer)
        for line in explained:
            print(f"explained {line}")
        for line in unexplained:
            print(f"UNEXPLAINED: {line}")
        rules = collections.Counter(line[1:line.index("]")] for line in explained)
        print(f"{name}: explained {len(explained)} ("
              + ", ".join(f"{r} {n}" for r, n in sorted(rules.items())) + f"), unexplained {len(unexplained)}")
        total_e += len(explained)
        total_u += len(unexplained)
    print()
    print(f"explained: {total_e}, unexplained: {total_u}")
    return 1 if total_u else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
