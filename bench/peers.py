"""The same statements built by established ORMs, for the peer rows of the benchmark.

Each builder returns {workload: callable}; one call constructs the statement object and
compiles it to text and parameters, the way the library does it on every query. Model and
table definitions are made once, outside the timed call, as an application would.

The statements mirror the module's workloads:
  select  SELECT users.id, users.name FROM users INNER JOIN teams ON teams.id = users.team_id
          WHERE users.age > ? AND teams.name = ? ORDER BY users.name DESC LIMIT 10 OFFSET 20
  update  UPDATE users SET name, email, age, city, score WHERE id = ?
  insert  INSERT INTO users (name, email, age, city, score) VALUES (...) RETURNING ...
Each library writes them in its own way (quoted names, its own placeholders, paging as
parameters); run.py --show-sql prints what each one produced.
"""

kUpdateValues = {"name": "Bob", "email": "bob@example.com", "age": 31, "city": "Lyon",
                 "score": 4.5}
kKeyValue = 7


def sqlalchemy_builders():
    """SQLAlchemy Core, compiled for its PostgreSQL dialect."""
    import sqlalchemy as sa
    from sqlalchemy.dialects import postgresql

    dialect = postgresql.dialect()
    metadata = sa.MetaData()
    teams = sa.Table("teams", metadata,
                     sa.Column("id", sa.Integer, primary_key=True),
                     sa.Column("name", sa.String(100)))
    users = sa.Table("users", metadata,
                     sa.Column("id", sa.Integer, primary_key=True),
                     sa.Column("name", sa.String(100)),
                     sa.Column("email", sa.String(200)),
                     sa.Column("age", sa.Integer),
                     sa.Column("city", sa.String(100)),
                     sa.Column("score", sa.Float),
                     sa.Column("team_id", sa.Integer, sa.ForeignKey("teams.id")))
    everything = sa.literal_column("*")

    def select():
        statement = (sa.select(users.c.id, users.c.name)
                     .join_from(users, teams, teams.c.id == users.c.team_id)
                     .where(users.c.age > 18, teams.c.name == "core")
                     .order_by(users.c.name.desc())
                     .limit(10).offset(20))
        compiled = statement.compile(dialect=dialect)
        return compiled.string, compiled.params

    def update():
        statement = sa.update(users).where(users.c.id == kKeyValue).values(**kUpdateValues)
        compiled = statement.compile(dialect=dialect)
        return compiled.string, compiled.params

    def insert():
        statement = sa.insert(users).values(**kUpdateValues).returning(everything)
        compiled = statement.compile(dialect=dialect)
        return compiled.string, compiled.params

    return {"select": select, "update": update, "insert": insert}


def peewee_builders():
    """peewee's query builder with a PostgreSQL database object (never connected)."""
    import peewee as pw

    database = pw.PostgresqlDatabase("bench")

    class Team(pw.Model):
        name = pw.CharField()

        class Meta:
            table_name = "teams"

    class User(pw.Model):
        name = pw.CharField()
        email = pw.CharField()
        age = pw.IntegerField()
        city = pw.CharField()
        score = pw.FloatField()
        team = pw.ForeignKeyField(Team, column_name="team_id")

        class Meta:
            table_name = "users"

    database.bind([Team, User])
    values = {getattr(User, name): value for name, value in kUpdateValues.items()}

    def select():
        return (User.select(User.id, User.name)
                .join(Team, on=(Team.id == User.team))
                .where((User.age > 18) & (Team.name == "core"))
                .order_by(User.name.desc())
                .limit(10).offset(20)
                .sql())

    def update():
        return User.update(values).where(User.id == kKeyValue).sql()

    def insert():
        return User.insert(values).sql()

    return {"select": select, "update": update, "insert": insert}


def django_builders():
    """Django's SQL compiler on its sqlite3 backend: the postgresql backend needs psycopg2 at
    import, which is not installed; compiling never opens the database either way."""
    import django
    from django.conf import settings

    if not settings.configured:
        settings.configure(
            DATABASES={"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": ":memory:"}},
            INSTALLED_APPS=[], USE_TZ=False)
        django.setup()
    from django.db import models
    from django.db.models import sql

    class Team(models.Model):
        name = models.CharField(max_length=100)

        class Meta:
            app_label = "kestrelite_bench"
            db_table = "teams"

    class User(models.Model):
        name = models.CharField(max_length=100)
        email = models.CharField(max_length=200)
        age = models.IntegerField()
        city = models.CharField(max_length=100)
        score = models.FloatField()
        team = models.ForeignKey(Team, on_delete=models.CASCADE)

        class Meta:
            app_label = "kestrelite_bench"
            db_table = "users"

    insert_fields = [User._meta.get_field(name) for name in kUpdateValues]
    # The row object is made once: only the statement is built per call.
    row = User(**kUpdateValues)

    def select():
        queryset = (User.objects.filter(age__gt=18, team__name="core")
                    .values_list("id", "name").order_by("-name")[20:30])
        return queryset.query.sql_with_params()

    def update():
        # What QuerySet.update does before it executes.
        query = User.objects.filter(pk=kKeyValue).query.chain(sql.UpdateQuery)
        query.add_update_values(kUpdateValues)
        return query.get_compiler("default").as_sql()

    def insert():
        # What QuerySet.create does once the row object exists, before it executes.
        query = sql.InsertQuery(User)
        query.insert_values(insert_fields, [row])
        return query.get_compiler("default").as_sql()

    return {"select": select, "update": update, "insert": insert}


# Label, importable name, builder, note shown beside the rows.
kPeers = [
    ("SQLAlchemy Core", "sqlalchemy", sqlalchemy_builders, "postgresql dialect"),
    ("peewee", "peewee", peewee_builders, "PostgresqlDatabase"),
    ("Django", "django", django_builders, "sqlite3 backend"),
]


def load():
    """[(label, version, note, builders or None, reason)] for every peer, importable or not."""
    import importlib

    loaded = []
    for label, module_name, builder, note in kPeers:
        try:
            version = importlib.import_module(module_name).__version__
            loaded.append((label, version, note, builder(), None))
        except ImportError as error:
            loaded.append((label, None, note, None, f"not importable ({error})"))
    return loaded
