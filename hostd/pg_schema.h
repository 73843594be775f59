// The schema of the host store in PostgreSQL: one migration step per schema
// version, and the lock that keeps two migrating instances apart.
#ifndef ZVT_HOSTD_PG_SCHEMA_H_
#define ZVT_HOSTD_PG_SCHEMA_H_

#include "hostd/host_store.h"

namespace zvt::hostd::pg {

// The schema's versions, each step bringing the one before it up by one.
// A version is never changed once released; a later one adds a step.
inline constexpr const char* kMigrations[] = {
    // 1: the registry, its profiles and their usage, the stamps.
    R"(
CREATE TABLE zvt_schema(version integer NOT NULL);
INSERT INTO zvt_schema VALUES (0);
CREATE TABLE meta(key text PRIMARY KEY, value text NOT NULL);
CREATE TABLE stamps(key text PRIMARY KEY, value bigint NOT NULL);
INSERT INTO stamps VALUES ('last_stamp', 0);
CREATE TABLE profiles(
  name text PRIMARY KEY,
  hash text NOT NULL,
  user_ts bigint NOT NULL);
CREATE TABLE functions(
  seq bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  id text NOT NULL UNIQUE,
  category text NOT NULL,
  type text NOT NULL,
  root text NOT NULL,
  parent text NOT NULL,
  name text NOT NULL,
  name2 text NOT NULL,
  description text NOT NULL,
  description2 text NOT NULL,
  indicator1 text NOT NULL,
  indicator2 text NOT NULL,
  indicator3 text NOT NULL,
  default_usage text NOT NULL);
CREATE INDEX functions_category ON functions(category, seq);
CREATE TABLE usage(
  profile text NOT NULL REFERENCES profiles(name) ON DELETE CASCADE,
  function text NOT NULL REFERENCES functions(id) ON DELETE CASCADE,
  usage text NOT NULL,
  PRIMARY KEY(profile, function));
CREATE INDEX usage_function ON usage(function);
)",
    // 2: profiles that may read every profile's usage and timestamps.
    "ALTER TABLE profiles ADD COLUMN all_profiles boolean NOT NULL DEFAULT false;",
    // 3: sign-on tokens, kept as digests, with the time each was last used.
    R"(
CREATE TABLE signon_tokens(
  digest text PRIMARY KEY,
  profile text NOT NULL REFERENCES profiles(name) ON DELETE CASCADE,
  last_used bigint NOT NULL);
CREATE INDEX signon_tokens_profile ON signon_tokens(profile, last_used);
)",
    // 4: changes made by other means than the store (psql, say) move the
    // change timestamps as the store's own writes do: a profile's usage its
    // user timestamp; the functions the registry's, and the hierarchy's
    // when a function comes, goes or moves in the tree. The store's own
    // sessions set zvt.store_moves_stamps and move them once per change.
    R"(
CREATE FUNCTION zvt_move_stamps() RETURNS trigger LANGUAGE plpgsql AS $$
DECLARE
  s bigint;
BEGIN
  IF current_setting('zvt.store_moves_stamps', true) = 'on' THEN
    RETURN NULL;
  END IF;
  UPDATE stamps SET value = GREATEST((EXTRACT(EPOCH FROM clock_timestamp()) * 1000000)::bigint,
                                     value + 1)
    WHERE key = 'last_stamp' RETURNING value INTO s;
  IF TG_TABLE_NAME = 'usage' THEN
    IF TG_OP <> 'DELETE' THEN
      UPDATE profiles SET user_ts = s WHERE name = NEW.profile;
    END IF;
    IF TG_OP <> 'INSERT' THEN
      UPDATE profiles SET user_ts = s WHERE name = OLD.profile;
    END IF;
    RETURN NULL;
  END IF;
  INSERT INTO stamps VALUES ('rep_ts', s) ON CONFLICT (key) DO UPDATE SET value = EXCLUDED.value;
  IF TG_OP = 'UPDATE' THEN
    IF (OLD.id, OLD.root, OLD.parent, OLD.type, OLD.category) IS NOT DISTINCT FROM
       (NEW.id, NEW.root, NEW.parent, NEW.type, NEW.category) THEN
      RETURN NULL;
    END IF;
  END IF;
  INSERT INTO stamps VALUES ('hier_ts', s) ON CONFLICT (key) DO UPDATE SET value = EXCLUDED.value;
  RETURN NULL;
END
$$;
CREATE TRIGGER usage_moves_stamps AFTER INSERT OR UPDATE OR DELETE ON usage
  FOR EACH ROW EXECUTE FUNCTION zvt_move_stamps();
CREATE TRIGGER functions_move_stamps AFTER INSERT OR UPDATE OR DELETE ON functions
  FOR EACH ROW EXECUTE FUNCTION zvt_move_stamps();
)",
    // 5: every move of a change timestamp, and every profile that comes or
    // goes, is told on the channel kStampsChannel names, after its commit,
    // to the servers that hold timestamps in memory.
    R"(
CREATE FUNCTION zvt_tell_stamps() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  PERFORM pg_notify('zvt_stamps', '');
  RETURN NULL;
END
$$;
CREATE TRIGGER stamps_told AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON stamps
  FOR EACH STATEMENT EXECUTE FUNCTION zvt_tell_stamps();
CREATE TRIGGER profiles_told AFTER INSERT OR UPDATE OF user_ts OR DELETE OR TRUNCATE ON profiles
  FOR EACH STATEMENT EXECUTE FUNCTION zvt_tell_stamps();
)",
    // 6: group profiles and the audit trail. A profile's usage falls back
    // on its groups'; a change of a group's usage moves its members' user
    // timestamps too, and a change of a profile's groups its own. Every
    // change made through the store is recorded in its own transaction.
    // Auditors read through the admin API and change nothing.
    R"(
CREATE TABLE audit(
  seq bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  at bigint NOT NULL,
  who text NOT NULL,
  origin text NOT NULL,
  action text NOT NULL,
  profile text NOT NULL,
  function text NOT NULL,
  before text NOT NULL,
  after text NOT NULL);
CREATE INDEX audit_at ON audit(at);
ALTER TABLE profiles ADD COLUMN auditor boolean NOT NULL DEFAULT false;
CREATE TABLE profile_groups(
  profile text NOT NULL REFERENCES profiles(name) ON DELETE CASCADE,
  grp text NOT NULL REFERENCES profiles(name) ON DELETE CASCADE,
  PRIMARY KEY(profile, grp),
  CHECK (profile <> grp));
CREATE INDEX profile_groups_grp ON profile_groups(grp);
CREATE FUNCTION zvt_move_member_stamps() RETURNS trigger LANGUAGE plpgsql AS $$
DECLARE
  s bigint;
BEGIN
  IF current_setting('zvt.store_moves_stamps', true) = 'on' THEN
    RETURN NULL;
  END IF;
  UPDATE stamps SET value = GREATEST((EXTRACT(EPOCH FROM clock_timestamp()) * 1000000)::bigint,
                                     value + 1)
    WHERE key = 'last_stamp' RETURNING value INTO s;
  IF TG_TABLE_NAME = 'usage' THEN
    UPDATE profiles SET user_ts = s WHERE name IN
      (SELECT profile FROM profile_groups WHERE grp = NEW.profile OR grp = OLD.profile);
  ELSE
    UPDATE profiles SET user_ts = s WHERE name = NEW.profile OR name = OLD.profile;
  END IF;
  RETURN NULL;
END
$$;
CREATE TRIGGER usage_moves_member_stamps AFTER INSERT OR UPDATE OR DELETE ON usage
  FOR EACH ROW EXECUTE FUNCTION zvt_move_member_stamps();
CREATE TRIGGER profile_groups_move_stamps AFTER INSERT OR UPDATE OR DELETE ON profile_groups
  FOR EACH ROW EXECUTE FUNCTION zvt_move_member_stamps();
)",
};
static_assert(sizeof(kMigrations) / sizeof(kMigrations[0]) == HostStore::kSchemaVersion,
              "one migration step per schema version");

// The channel the moves of change timestamps are told on.
inline constexpr char kStampsChannel[] = "zvt_stamps";

// Any fixed number: the advisory lock that keeps two migrations apart.
inline constexpr char kMigrationLock[] = "SELECT pg_advisory_xact_lock(7470916372)";

}  // namespace zvt::hostd::pg

#endif  // ZVT_HOSTD_PG_SCHEMA_H_
